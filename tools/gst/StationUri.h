// The element's addresses: ovradio://STATION?max-tracks=N&name=TEXT. The station id and the
// name are percent-encoded (ovradio://Rock%20%26%20Roll); both query keys may be left out.
// Plain functions, no side effects.
#pragma once

#include "SessionSettings.h"

#include <string>

inline constexpr const char* kStationUriScheme = "ovradio";

// Reads an address into the station, name and track count of `settings` (the other
// settings stay). Returns what is wrong with the address; empty when it was read.
std::string ReadStationUri(const std::string& strUri, SSessionSettings& settings);

// The address of the settings' station, name and track count.
std::string StationUri(const SSessionSettings& settings);
