#pragma once

#include "base/log.h"
#include "support/test_support.h"

#include <QObject>
#include <QTemporaryDir>
#include <QtTest>

// The frame of a test program whose cases share one log in dir and each start from the
// process-wide state of a fresh process. A program that needs more in init() declares an
// init() of its own, which then runs instead.
class Logged_cases : public QObject {
    Q_OBJECT

protected:
    QTemporaryDir dir;

private slots:
    void initTestCase() { QVERIFY(log_in(dir)); }
    void init() { reset_process_state(); }
    void cleanupTestCase() { reset_log_file_name(); }
};
