#include "link/server_commands.h"

#include "config/devices.h"

QString json_escaped(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const ushort unit = c.unicode();
        if (unit == '"' || unit == '\\') {
            escaped += QLatin1Char('\\');
            escaped += c;
        } else if (unit < 0x20) {
            escaped += QStringLiteral("\\u%1").arg(unit, 4, 16, QLatin1Char('0'));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

QString auth_req_text(const QString &login, const QString &password)
{
    return QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"%1\",\"password\":\"%2\"}")
        .arg(json_escaped(login), json_escaped(password));
}

QString devlist_req_text()
{
    return QStringLiteral("{\"cmd\":\"get_device_appdata_req\",\"keyword\":\"no_attributes\"}");
}

QString send_data_req_text(quint64 eui, const char *data, std::size_t size)
{
    const QByteArray hex = QByteArray::fromRawData(data, static_cast<int>(size)).toHex();
    return QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"04%2\",\"port\":%3}]}")
        .arg(format_eui(eui), QString::fromLatin1(hex), QString::number(2));
}
