// Where a track's audio bytes go: a file of its own in the output folder (written under a
// temporary name and renamed when the track is whole, so the folder never shows half a
// track under a track's name; the temporary is a new file of its own, opened with O_EXCL
// and never through a symbolic link, since the folder may be shared), standard output
// (all tracks one after another, nothing else), or nowhere (only counted). Main thread
// only.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class CTrackSink
{
public:
    // An empty folder and bStdout false: the bytes are dropped. The folder is created
    // when it does not exist; CPlayError when it cannot be.
    CTrackSink(const std::string& strFolder, bool bStdout);
    ~CTrackSink();
    CTrackSink(const CTrackSink&) = delete;
    CTrackSink& operator=(const CTrackSink&) = delete;

    // Starts a track that is to be called strFileName in the folder.
    void Begin(const std::string& strFileName);
    // All the bytes, or CPlayError. False when standard output's reader has gone away
    // (the pipe is closed): the player then stops as if asked to.
    bool Write(const char* pData, std::size_t nBytes);
    // The track is whole: its file gets its name. The file's path; empty without a folder.
    std::string Finish();
    // The track ends unfinished: its temporary file goes.
    void Abandon();

private:
    std::string m_strFolder;
    bool m_bStdout;
    std::FILE* m_pFile = nullptr;
    std::string m_strPartPath;
    std::string m_strPath;
};
