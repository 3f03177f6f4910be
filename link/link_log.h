#pragma once

#include <QByteArray>
#include <QString>

// What the link writes to the log besides its failures (command_table): the error of a
// connection attempt, and the traces of its frames as far as trace_ws asks for them.

// %1 the error code, %2 its text.
QString text_connect_error();

// A text frame sent to the server, at "all".
void trace_sent(const QString &text);
// A text frame from the server, at "all".
void trace_received(const QString &message);
// A text frame from the server that could not be handled, at "bad_frames".
void trace_bad_text(const QString &message);
// A binary frame from the server, which the protocol never sends: traced at "all", the
// error logged, and the frame dumped at "bad_frames".
void log_binary_frame(const QByteArray &message);
