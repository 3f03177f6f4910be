#include "link/server_message.h"

#include "link/ws_parser.h"

#include <limits>

quint64 read_quoted_eui(Ws_parser &parser)
{
    parser.expect_char('"');
    const quint64 eui = parser.read_hex64();
    parser.expect_char('"');
    return eui;
}

void read_message_field(Ws_parser &parser, Server_message &message)
{
    quint8 &presence = message.presence;
    if (parser.match_field_bit("cmd", presence, Server_message::has_cmd))
        parser.read_required_json_string(message.cmd);
    else if (parser.match_field_bit("status", presence, Server_message::has_status))
        message.status = parser.read_bool();
    else if (parser.match_field_bit("err_string", presence, Server_message::has_err_string))
        parser.read_required_json_string(message.err_string);
    else if (parser.match_field_bit("devEui", presence, Server_message::has_devEui))
        message.devEui = read_quoted_eui(parser);
    else if (parser.match_field_bit("port", presence, Server_message::has_port))
        message.port = static_cast<quint8>(parser.read_decimal(223));
    else if (parser.match_field_bit("data", presence, Server_message::has_data))
        parser.read_hex_bytes(message.data);
    else if (parser.match_field_bit("type", presence, Server_message::has_type))
        parser.read_required_json_string(message.type);
    else if (parser.match_field_bit("fcnt", presence, Server_message::has_fcnt))
        message.fcnt = parser.read_decimal(std::numeric_limits<quint32>::max());
    else
        parser.skip_field();
}
