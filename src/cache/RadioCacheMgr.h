// The persistent disk cache of track parts. Owns the cache settings and the enciphered
// index (RECache.idx in the host application's folder), names each track's cache file,
// keeps the list of cache files in use, and trims the cache folder on a pass thread so
// that the cache stays under its maximum and the disk keeps its safety margin free.
// Built by the stream manager, which calls Init after construction and UnInit before
// destruction. Callers: the stream manager's thread (Init, UnInit), downloader threads
// (paths, headers, locks, StartSizeManagement), the host's thread through the engine
// object (settings and status), and the pass thread.
// Locks: the lock list, the settings and GetCacheSize under the recursive section of the
// shared state; the index document and its ciphers under m_csIndex (never taken by a
// pass). A pass owns the shared state jointly with the manager, so a pass that outlives
// UnInit's wait never touches the destroyed manager.
#pragma once

#include "cache/CacheCipher.h"
#include "cache/CacheFileHeader.h"
#include "cache/CacheIndexDocument.h"
#include "cache/CacheSettings.h"
#include "platform/CriticalSection.h"
#include "platform/Thread.h"
#include "platform/Types.h"
#include "sequence/TrackInfo.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the last size-management pass found.
enum SizeStatus : int
{
    eSizeWithinLimits = 0, // the disk has its margin; trimmed to the maximum if needed
    eSizeDiskShort = 1,    // the disk lacks part of its margin; the cache gave it back
    eSizeNoRoom = 2,       // the whole cache is less than the disk lacks: all deleted
};

// One file of the cache folder.
struct CacheFileEntry
{
    std::string strName;      // without the folder
    std::string strLastWrite; // local time, "yyyy-mm-dd hh:mm:ss.mmm"
    double dSize = 0;         // bytes
};

// The ".DAT" files of a folder (ending with '/') in the order the search gives them,
// and their total size in bytes; 0 and none for an empty or missing folder.
double CacheFolderSize(const std::string& folder, std::vector<CacheFileEntry>* pList);

// True when a cacheid from a server can name a file of the cache folder: not empty, not
// "." or "..", no '/' or '\', no control character, at most 200 bytes.
bool IsPlainCacheId(const std::string& cacheid);

class mcRadioCacheMgr
{
public:
    using LockHandle = ULONGLONG; // 0 designates no entry
    // Called on the pass thread after each pass has ended and let go of the manager's
    // state (also when the manager is gone by then); for tools and tests that await it.
    using PassEndFunction = std::function<void()>;

    static constexpr DWORD kUnInitWaitMs = 20000;

    explicit mcRadioCacheMgr(PassEndFunction onPassEnd = {});
    ~mcRadioCacheMgr();
    mcRadioCacheMgr(const mcRadioCacheMgr&) = delete;
    mcRadioCacheMgr& operator=(const mcRadioCacheMgr&) = delete;

    // The stream manager's thread. Init loads (or writes) the index and starts a first
    // pass without waiting for it; UnInit saves the index and blocks up to 20 s for a pass.
    void Init() OVR_EXCLUDES(m_csIndex);
    void UnInit() OVR_EXCLUDES(m_csIndex);

    // Any thread. GetSettings takes the shared section briefly; SetSettings takes it, then
    // m_csIndex to update and save the index (a file write).
    CacheSettings GetSettings() const;
    void SetSettings(const CacheSettings& settings) OVR_EXCLUDES(m_csIndex);

    // The track's cache file: cache folder + cacheid + ".DAT"; empty when the cacheid
    // cannot name a file (the track is then fetched whole from the network).
    std::string GetCacheFilePath(const STrackInfo& track) const;
    CacheFileHeader MakeCacheFileHeader(const STrackInfo& track) const;

    // Downloader threads and passes; each holds the shared section for its own steps.
    LockHandle LockFile(const std::string& path);
    void UnLockFile(LockHandle handle);
    bool IsFileLocked(const std::string& path) const;

    // Any thread. Lists the cache folder holding the shared section.
    double GetCacheSize(std::vector<CacheFileEntry>* pList = nullptr) const;

    // Any thread. Starts a pass unless one runs (false then) and returns at once.
    bool StartSizeManagement();
    // Any thread. Blocks, without limit, until the pass that runs has ended, then starts
    // one and blocks until it has ended; the status it left.
    SizeStatus RunSizeCheckAndWait();
    bool IsEnabled() const;
    SizeStatus GetSizeStatus() const;
    // The cache size that the last pass left, bytes.
    double GetLastCacheSize() const;

    // What the engine object's GetRadioCacheStatus and SetRadioCacheStatus do, on the
    // host's thread; sizes in bytes. Null pointers are skipped. Both block as
    // RunSizeCheckAndWait does (SetRadioCacheStatus only when the maximum shrinks).
    void GetRadioCacheStatus(double* pfMaxSize, double* pfSafetyMargin, double* pfCurSize,
                             INT* pnStatus);
    void SetRadioCacheStatus(double fMaxSize, double fSafetyMargin) OVR_EXCLUDES(m_csIndex);

    // The index operations of Init and UnInit; each holds m_csIndex throughout. SaveIndex
    // writes nothing when the document is what the index on disk already holds (as loaded
    // or last saved), so that a start and a stop that change no setting write no file.
    bool LoadIndex(const CacheSettings& defaults, bool bEnciphered) OVR_EXCLUDES(m_csIndex);
    void SaveIndex() OVR_EXCLUDES(m_csIndex);

    const std::string& AppFolder() const { return m_strAppFolder; }
    const std::string& IndexPath() const { return m_strIndexPath; }
    const std::string& PlainIndexPath() const { return m_strPlainPath; }

    // The host application's folder ("MainApp"/"AppPath"; the runtime folder when the
    // preferences cannot tell).
    static std::string QueryAppFolder();
    static CacheSettings DefaultSettings(const std::string& appFolder);
    // The settings Init would arrive at, read without writing anything: the index
    // deciphered in memory, the enabled flag from the installation's choice.
    static CacheSettings PeekSettings(const std::string& appFolder);

private:
    struct SSharedState;

    std::shared_ptr<SSharedState> m_state;
    const PassEndFunction m_onPassEnd;
    const std::string m_strAppFolder;
    const std::string m_strIndexPath;
    const std::string m_strPlainPath;

    mutable platform::CriticalSection m_csIndex;
    CacheCipher m_loadCipher OVR_GUARDED_BY(m_csIndex);
    CacheCipher m_saveCipher OVR_GUARDED_BY(m_csIndex);
    CacheIndexDocument m_index OVR_GUARDED_BY(m_csIndex);
    // The document's text as the index on disk holds it; empty when unknown.
    std::string m_strOnDisk OVR_GUARDED_BY(m_csIndex);
};
