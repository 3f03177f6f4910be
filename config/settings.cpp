#include "config/settings.h"

Settings settings;

void reset_settings()
{
    settings = Settings();
}
