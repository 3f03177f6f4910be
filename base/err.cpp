#include "base/err.h"

#include "base/log.h"

Err::Err(const QString &message)
    : text(message)
{
    log_line(text);
}

Err::~Err() = default;

const char *Err::what() const noexcept
{
    return description;
}

Debug::Debug(unsigned short place_code)
    : Err(unexpected_error_text(place_code))
{
}

bool is_err(const std::exception &e)
{
    return qstrcmp(e.what(), Err::description) == 0;
}
