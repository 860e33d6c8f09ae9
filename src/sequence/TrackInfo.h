// The one track record of the engine: what a sequence line says about a track, plus the
// sequence header's seconds values. A plain value, copied freely; u32 fields hold what
// the parser read with a signed 32-bit conversion.
#pragma once

#include "platform/Types.h"

#include <string>

struct STrackInfo
{
    DWORD trackid = 0;
    std::string track;
    std::string artistid;
    std::string artist;
    std::string albumid;
    std::string album;
    std::string songurl;
    std::string arturl;
    std::string weburl;
    std::string browserstr;
    std::string stationtext;
    DWORD songsize = 0; // the whole track: song part plus cache part when there is one
    DWORD skip = 0;
    DWORD displaydelay = 0; // no sequence field sets it
    std::string nextdisplay;
    std::string comingup;
    std::string qualityname;
    std::string afd;
    std::string songenc = "mp3";
    DWORD songbr = 0; // kbit/s
    DWORD numchans = 0;
    DWORD samplerate = 0;
    DWORD cachelow = 0; // seconds, from the sequence header
    DWORD cachehigh = 0;
    DWORD startthresh = 0;
    DWORD minpreconnectcache = 0;
    std::string cacheid;
    std::string cacheurl;
    DWORD splitcache = 0;
    DWORD splitsong = 0;
    DWORD cachesize = 0;
    DWORD songpartsize = 0; // the song part's size as sent, when a cache part is given
    DWORD retry = 0;
};

// Form decoding in place: '+' becomes a space, then '%' with two hexadecimal characters
// becomes the byte they give.
void DecodeText(std::string& text);

// Parses one `OVDK::key=value::...` line (its line feed already cut off) into rec, which
// arrives as a copy of the sequence's template record. False, with a trace, when the
// line is not a valid track entry; rec is then to be discarded.
bool ParseTrackExtendedM3u(const char* line, STrackInfo& rec);
