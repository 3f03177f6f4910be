#pragma once

#include "shared/server_device.h"

#include <QVector>

// Orders the devices by EUI, those of one EUI in the order they came. A radix sort over the
// bytes in which the EUIs differ (a maker's prefix is left alone): a server's list of 100,000
// in a few linear passes, where a comparison sort's work grows faster than the list.
void sort_by_eui(QVector<Server_device> &devices);
