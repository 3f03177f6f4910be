#pragma once

// Constants of this build, shown in the log, the help box and the About dialog.
namespace build_info {
constexpr const char program_name[] = "quvo_vevi2zar";
constexpr const char version[] = "1.10.0";
constexpr const char release_date[] = "13 апреля 2022";
constexpr const char build_date[] = __DATE__;
constexpr const char build_time[] = __TIME__;
}
