#include "base/descriptors.h"

void raise_descriptor_limit()
{
}

long descriptor_limit()
{
    return 0;
}

long open_descriptor_count()
{
    return -1;
}

void keep_descriptor_reserve()
{
}

void release_descriptor_reserve()
{
}
