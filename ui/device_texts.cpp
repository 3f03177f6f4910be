#include "ui/device_texts.h"

#include <QCoreApplication>

QString device_text(const char *text, const char *disambiguation)
{
    return QCoreApplication::translate("Resources_for_editing", text, disambiguation);
}

const Device_texts &Device_texts::get()
{
    static const Device_texts texts;
    return texts;
}

namespace {

// The networks a few to a line, as the other tips are wrapped; a long list is cut short.
QString network_lines(const std::vector<Ip_network> &networks)
{
    constexpr int line_width = 64;
    constexpr std::size_t shown = 24;
    QString text;
    QString line;
    for (std::size_t i = 0; i < networks.size() && i < shown; ++i) {
        const Ip_network &network = networks[i];
        const int host_length = network.address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        QString item = network.address.toString();
        if (network.prefix_length != host_length)
            item += QLatin1Char('/') + QString::number(network.prefix_length);
        if (!line.isEmpty() && line.size() + 2 + item.size() > line_width) {
            text += line + QStringLiteral(",\n");
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(", ")) + item;
    }
    text += line;
    if (networks.size() > shown)
        text += device_text(" и ещё %1").arg(networks.size() - shown);
    return text;
}

} // namespace

QString Device_texts::port_access_text(const QHostAddress &listen, const std::vector<Ip_network> &allow)
{
    const QString where = listen == QHostAddress::Any
        ? device_text("Порт слушается на всех адресах нашего компьютера (IPv4 и IPv6);\n"
                      "один адрес можно задать параметром tcp_listen в файле\n"
                      "конфигурации.")
        : device_text("Порт слушается только на адресе %1 (параметр tcp_listen\n"
                      "в файле конфигурации).").arg(listen.toString());
    const QString who = allow.empty()
        ? device_text("Соединиться может клиент с любого адреса; новый клиент заменяет\n"
                      "обслуживаемого. Список адресов, с которых разрешено соединяться,\n"
                      "можно задать параметром tcp_allow в файле конфигурации.")
        : device_text("Соединиться могут только клиенты с адресов из списка tcp_allow\n"
                      "в файле конфигурации:\n"
                      "%1.\n"
                      "Соединение с другого адреса сразу же закрывается и не мешает\n"
                      "обслуживаемому клиенту; новый клиент с разрешённого адреса\n"
                      "заменяет обслуживаемого.").arg(network_lines(allow));
    return where + QStringLiteral("\n\n") + who;
}

Device_texts::Device_texts()
{
    eui_label = device_text("Адрес (EUI) радиомодема");
    eui_tip = device_text("Адрес (Extended Unique Identifier, EUI-64) радиомодема (КВУО МР-7)\n"
        "в беспроводной сети LoRa (обслуживаемой сервером QUVO-LoRa, на\n"
        "работу с которым настроена наша программа). Представляет собой\n"
        "64-битное шестнадцатиричное число (16 шестнадцатиричных цифр).\n"
        "Целевые устройства подключены к этому радиомодему через интерфейс\n"
        "RS-232 или RS-485.");
    port_label = device_text("Порт TCP для подключения клиентов");
    port_header = device_text("Порт\n"
        "TCP");
    port_tip = device_text("Номер порта TCP/IP (целое десятичное число в диапазоне\n"
        "1...65535), не совпадающий с номером какого либо порта TCP/IP,\n"
        "уже занятого под другие цели.\n"
        "\n"
        "Всякий раз, когда у нашей программы имеется исправный канал связи с\n"
        "сервером QUVO-LoRa, и на этом сервере QUVO-LoRa есть аккаунт для\n"
        "радиомодема с указанным EUI, данная программа создаёт сервер TCP,\n"
        "слушающий этот порт. Клиент, желающий соединиться с устройствами,\n"
        "подключенными через этот радиомодем, устанавливает соединение TCP,\n"
        "указав в качестве адреса назначения адрес нашего компьютера и этот\n"
        "номер порта - запросы, приходящие по этому соединению,\n"
        "перенаправляются на сервер QUVO-LoRa и далее на радиомодем и на\n"
        "целевые устройства.")
        + QStringLiteral("\n\n") + port_access_text(settings.tcp_listen, settings.tcp_allow);
    frame_label = device_text("Максимальный размер пакета");
    frame_header = device_text("Макс.\n"
        "размер\n"
        "пакета");
    frame_tip = device_text("Технология LoRa накладывает ограничение на максимальный размер\n"
        "пакета, в зависимости от скорости, на которой работает радиомодем.\n"
        "Зависимость следующая:\n"
        "скорость DR0: 51 байт\n"
        "скорость DR1: 51 байт\n"
        "скорость DR2: 51 байт\n"
        "скорость DR3: 115 байтов\n"
        "скорость DR4: 222 байта\n"
        "скорость DR5: 222 байта\n"
        "скорость DR6: 222 байта\n"
        "скорость DR7: 222 байта\n"
        "Программа позволяет вводить и другие значения максимального размера\n"
        "пакета, но обычно это бессмысленно.\n"
        "\n"
        "Наша программа рассчитывает на то, что запросы от клиента,\n"
        "приходящие через соединение TCP/IP, будут иметь длину не большую,\n"
        "чем указанное здесь значение (если более длинный запрос всё-таки\n"
        "приходит, это считается ошибкой и приводит к разрыву соединения с\n"
        "клиентом). На ответ устройства это ограничение не действует - ответ\n"
        "при необходимости передаётся в виде нескольких (до 256) пакетов\n"
        "LoRa (которые будут собраны нашей программой и переданы клиенту\n"
        "\"одним куском\").");
    name_label = device_text("Имя радиомодема");
    name_tip = device_text("В этом столбце отображается имя, под которым радиомодем\n"
        "зарегистрирован на сервере QUVO-LoRa.\n"
        "\n"
        "Если радиомодем не имеет аккаунта на сервере QUVO-LoRa, или если\n"
        "связи с сервером в данный момент нет, имя не отображается\n"
        "(поскольку мы его не знаем). Даже если есть и аккаунт и связь, имя\n"
        "может не отображаться, поскольку радиомодем может быть\n"
        "безымянным.\n"
        "\n"
        "Имя используется только для отображения пользователю - на поведение\n"
        "системы оно никак не влияет.");
    mode_label = device_text("Режим");
    mode_tip = device_text("Как наша программа обменивается данными с клиентами этого\n"
        "радиомодема.\n"
        "\n"
        "«Прозрачный»: к порту подключается один клиент (новый заменяет\n"
        "прежнего); байты, которые он присылает, передаются радиомодему\n"
        "сообщениями, границы которых - паузы в его передаче; ответ\n"
        "устройства передаётся клиенту как есть.\n"
        "\n"
        "«Шлюз Modbus TCP»: к порту могут одновременно подключаться до 8\n"
        "клиентов (SCADA, HMI), говорящих на Modbus TCP. Каждый их запрос\n"
        "передаётся устройству как кадр Modbus RTU (с адресом и контрольной\n"
        "суммой), сразу, без ожидания паузы; запросы всех клиентов идут к\n"
        "устройству по одному, в порядке поступления. Ответ устройства\n"
        "проверяется и передаётся тому клиенту, который спрашивал, с номером\n"
        "его транзакции. Если ответа нет дольше, чем задано параметром\n"
        "modbus_timeout в файле конфигурации, клиент получает ответ\n"
        "с кодом исключения 0x0B.");
    mode_raw = device_text("Прозрачный");
    mode_modbus = device_text("Шлюз Modbus TCP");
}
