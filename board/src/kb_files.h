// SPDX-License-Identifier: MIT
// The board's files in a run's folder: the sysfs codec node and the audio
// service's command files, and the notes the board keeps beside them. The
// board and the launcher (which sets a run's folder up and removes it) both
// lay the folder out by these names.
#pragma once

#include <iterator>

namespace kb {

inline constexpr const char *kCodecNode = "/sys/devices/soc:sound/codec_name";
inline constexpr const char *kDataFile = "/data/alsaucm_test";
inline constexpr const char *kRunFile = "/run/alsaucm_test";
inline constexpr const char *kBoardFiles[] = {kCodecNode, kDataFile, kRunFile};

// What each board file held when the board last looked, beside it in the
// folder, so that the processes sharing a folder report a change once.
inline constexpr const char *kSeenFiles[] = {"/.seen-codec_name", "/.seen-data", "/.seen-run"};
static_assert(std::size(kSeenFiles) == std::size(kBoardFiles));

// The folders, parents first.
inline constexpr const char *kBoardDirs[] = {"/sys", "/sys/devices", "/sys/devices/soc:sound", "/data", "/run"};

}  // namespace kb
