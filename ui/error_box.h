#pragma once

#include <QString>

#include <cstdio>
#include <exception>

class QMessageBox;
class QWidget;

// "quvo_vevi2zar 1.10.0: ошибка", the title of the program's error boxes.
const QString &error_title();

// The modal error box; returns when the user has closed it. Main thread only.
void show_error(const QString &text, QWidget *parent);

// Shows a caught exception: an Err by its message (logged when it was made),
// any other by its description, which is logged first.
void report_exception(const std::exception &e, QWidget *parent);

// Logs and shows the internal error with this place code.
void report_unexpected(unsigned short place_code, QWidget *parent);

// The one "Закрыть" button of our message boxes, also taken by Esc.
void add_close_button(QMessageBox &box);

// Runs a message box modally. Where the toolkit's platform shows nothing to a person
// (offscreen, minimal), nobody could close it: its title and text go to the stream, in UTF-8,
// and it counts as closed at once.
void exec_box(QMessageBox &box, std::FILE *stream);

// Tests of the boxes answer them under offscreen: they ask for them shown there too.
void set_boxes_shown_offscreen(bool shown);
