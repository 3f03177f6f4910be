#pragma once

#include "shared/shared_state.h"

#include <QString>
#include <QWidget>

class Engine;
class Label_with_size;
class QStackedLayout;

// The program's only main window: the state of the server link, the counts of
// served, reachable and used modems, and the buttons for the devices list,
// the About dialog and exit.
class Main_window : public QWidget {
    Q_OBJECT
public:
    // Registers the window as the last step, so that the link can reach it; throws
    // Debug when another main window exists.
    explicit Main_window(Engine &engine, QWidget *parent = nullptr);
    ~Main_window() override;

    // What the window shows of the link at the moment.
    const Link_view &shown() const { return view; }

    // Called by the devices dialog after it has changed the list of served modems.
    void update_served_count();

    // What the window shows of the link and the counts, in one line.
    QString status_text() const;

signals:
    void shutdown();
    // The window shows another state of the link or other counts.
    void display_changed();

public slots:
    void on_servers_changed();
    void on_clients_changed();
    void on_btn_devices_clicked();
    void on_btn_about_clicked();
    // Asks first, while the list of modems is not saved: once more, then whether to leave
    // without it.
    void on_btn_exit_clicked();

public:
    // The orderly exit itself: the link and the clients are closed, the exit dialog waits.
    void exit_in_order();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    Q_DISABLE_COPY(Main_window)

    void show_counts(bool shown);
    // Whether the program may end: the list of modems is saved, or the user leaves without it.
    bool may_leave();

    Engine &engine;
    Link_view view;
    Label_with_size *state_label = nullptr;
    Label_with_size *served_label = nullptr;
    Label_with_size *reachable_label = nullptr;
    Label_with_size *clients_label = nullptr;
    QStackedLayout *stacks[4] = {};
    QString word_none;
    QString word_start;
    QString word_ready;
    // The user has chosen to end the program: nothing is asked again.
    bool leaving = false;
};
