#include "config/devices.h"

Served_devices served_devices;
Served_ports served_ports;

QString format_eui(Eui eui)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text(16, Qt::Uninitialized);
    QChar *out = text.data();
    for (int i = 15; i >= 0; --i) {
        out[i] = QLatin1Char(digits[eui & 0xF]);
        eui >>= 4;
    }
    return text;
}

void reset_devices()
{
    served_ports.clear();
    served_devices.clear();
}
