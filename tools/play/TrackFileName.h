// The name of a track's file in the output folder: "NN - Artist - Title.EXT", with NN the
// track's place in the run (two digits at least), EXT from the stream format. Characters
// that cannot stand in a file name here or on the file systems music is copied to (the
// slash and backslash, control characters, : * ? " < > |) become '_', and the name is
// kept within 249 bytes (so that its temporary name ".NAME.part" fits the 255 a file name
// may have), artist and title cut at a UTF-8 character boundary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

std::string TrackFileName(uint32_t nIndex, std::string_view artist, std::string_view title,
                          std::string_view format);
