#include "parser/text_parser.h"

template class Parser<char>;
template class Parser<unsigned short>;
template class Text_parser<char>;
template class Text_parser<unsigned short>;
