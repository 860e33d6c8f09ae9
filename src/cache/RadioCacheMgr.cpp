#include "cache/RadioCacheMgr.h"

#include "cache/CacheFileMgr.h"
#include "host/Preferences.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "hostlibs/EventMgr.h"
#include "platform/AsciiText.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "platform/Mutex.h"
#include "platform/RuntimeFolder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <locale>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace
{
constexpr std::size_t kMaxCacheIdBytes = 200;
constexpr DWORD kAppPathBufferSize = 1024;

// "UserSetups" goes out with the first pass of the process only.
std::atomic<bool> g_bUserSetupsPending{true};

std::string LastWriteText(std::chrono::system_clock::time_point time)
{
    const platform::SYSTEMTIME st = platform::LocalSystemTime(time);
    return platform::FormatText("%04d-%02d-%02d %02d:%02d:%02d.%03d", st.wYear, st.wMonth, st.wDay,
                                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

// A double as a standard output stream writes it by default: general, 6 digits.
std::string StreamText(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

// Deletes a cache file unless some opener holds it (cache files are opened with an
// exclusive lock, as Windows' share mode 0, where such a deletion fails).
bool DeleteUnusedFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool bDeleted = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        bDeleted = platform::DeleteFile(path);
    ::close(fd);
    return bDeleted;
}

// Removes the plain index whatever happens on the way, so it never stays on disk.
class PlainIndexGuard
{
public:
    explicit PlainIndexGuard(const std::string& path) : m_path(path) {}
    ~PlainIndexGuard() { platform::DeleteFile(m_path); }
    PlainIndexGuard(const PlainIndexGuard&) = delete;
    PlainIndexGuard& operator=(const PlainIndexGuard&) = delete;

private:
    const std::string& m_path;
};

// Releases a cipher at the end of the one transformation it was set up for.
class CipherUse
{
public:
    explicit CipherUse(CacheCipher& cipher) : m_cipher(cipher), m_bReady(cipher.InitializeStored())
    {
    }
    ~CipherUse() { m_cipher.Release(); }
    CipherUse(const CipherUse&) = delete;
    CipherUse& operator=(const CipherUse&) = delete;

    bool ProcessFile(const std::string& source, const std::string& target)
    {
        return m_bReady && m_cipher.ProcessFile(source, target);
    }

private:
    CacheCipher& m_cipher;
    bool m_bReady;
};
} // namespace

double CacheFolderSize(const std::string& folder, std::vector<CacheFileEntry>* pList)
{
    if (pList)
        pList->clear();
    double dTotal = 0;
    if (folder.empty())
        return 0;
    for (const platform::FoundFile& file : platform::FindFiles(folder, "*.DAT"))
    {
        const double dSize = static_cast<double>(file.size);
        dTotal += dSize;
        if (pList)
            pList->push_back({file.name, LastWriteText(file.lastWrite), dSize});
    }
    return dTotal;
}

bool IsPlainCacheId(const std::string& cacheid)
{
    if (cacheid.empty() || cacheid == "." || cacheid == ".." || cacheid.size() > kMaxCacheIdBytes)
        return false;
    return std::none_of(cacheid.begin(), cacheid.end(),
                        [](char c)
                        {
                            const auto byte = static_cast<unsigned char>(c);
                            return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
                        });
}

// What the manager and its pass threads share. The section guards the settings and the
// lock list; passMutex guards the pass fields, so that testing and setting the running
// flag is one step and waiters learn when a pass ends. Neither is held while the other
// is taken.
struct mcRadioCacheMgr::SSharedState
{
    mutable platform::CriticalSection cs;
    CacheSettings settings OVR_GUARDED_BY(cs);
    std::vector<std::pair<LockHandle, std::string>> listLocks OVR_GUARDED_BY(cs);
    LockHandle nextLock OVR_GUARDED_BY(cs) = 1;
    std::string strAppFolder; // set before any pass starts

    mutable platform::Mutex passMutex;
    std::condition_variable passEnded;
    bool bRunning OVR_GUARDED_BY(passMutex) = false;
    bool bEverStarted OVR_GUARDED_BY(passMutex) = false;
    platform::Thread passThread OVR_GUARDED_BY(passMutex);
    SizeStatus status OVR_GUARDED_BY(passMutex) = eSizeWithinLimits;
    double dLastSize OVR_GUARDED_BY(passMutex) = 0;

    CacheSettings Settings() const OVR_EXCLUDES(cs)
    {
        TracedLock lock(cs);
        return settings;
    }

    bool IsFileLocked(const std::string& path) const OVR_EXCLUDES(cs)
    {
        TracedLock lock(cs, "mcRadioCacheMgr::IsFileLocked");
        return std::any_of(listLocks.begin(), listLocks.end(),
                           [&](const auto& entry)
                           { return platform::EqualsNoCase(entry.second, path); });
    }

    double GetCacheSize(std::vector<CacheFileEntry>* pList) const OVR_EXCLUDES(cs)
    {
        TracedLock lock(cs, "mcRadioCacheMgr::GetCacheSize");
        return CacheFolderSize(settings.strLocation, pList);
    }

    void WaitWhileRunning() OVR_EXCLUDES(passMutex)
    {
        platform::MutexLock lock(passMutex);
        while (bRunning)
            lock.Wait(passEnded);
    }

    // The pass's result, or none when it failed (the last result stays).
    void EndPass(std::optional<std::pair<SizeStatus, double>> result) OVR_EXCLUDES(passMutex)
    {
        platform::MutexLock lock(passMutex);
        if (result)
            std::tie(status, dLastSize) = *result;
        bRunning = false;
        passEnded.notify_all();
    }

    void SizeMgmntProcSupport();
};

namespace
{
void PostUserSetups(const CacheSettings& settings, double dSize, ULONGLONG nFree)
{
    if (!g_bUserSetupsPending.exchange(false))
        return;
    mcEvent event(eEventCategoryInfo, "UserSetups");
    event.AddParameter("Location", settings.strLocation.c_str());
    event.AddParameter("MaxSize", StreamText(settings.dMaxSize).c_str());
    event.AddParameter("SafetyMargin", StreamText(settings.dSafetyMargin).c_str());
    event.AddParameter("IsEnabled", settings.bEnabled ? 1 : 0);
    event.AddParameter("CurSize", StreamText(dSize).c_str());
    event.AddParameter("FreeSpace", StreamText(static_cast<double>(nFree)).c_str());
    GetEventMgr()->PostEvent(event);
}
} // namespace

// One pass: decide from the free disk space and the cache size how far the cache must
// shrink, then delete the oldest files that are not in use until it is there.
void mcRadioCacheMgr::SSharedState::SizeMgmntProcSupport()
{
    const CacheSettings current = Settings();
    const ULONGLONG nFree = GetDiskFreeSpaceBytes(strAppFolder);
    std::vector<CacheFileEntry> entries;
    const double dSize = CacheFolderSize(current.strLocation, &entries);
    double dTarget = current.dMaxSize * 0.9;
    PostUserSetups(current, dSize, nFree);

    const double dFree = static_cast<double>(nFree);
    SizeStatus newStatus = eSizeWithinLimits;
    bool bTrim = false;
    if (dFree > current.dSafetyMargin)
    {
        bTrim = dSize > 0 && dSize > current.dMaxSize;
    }
    else
    {
        const double dShortfall = current.dSafetyMargin - dFree;
        if (dSize > dShortfall)
        {
            newStatus = eSizeDiskShort;
            dTarget = (dSize - dShortfall) * 0.9;
        }
        else
        {
            newStatus = eSizeNoRoom;
            dTarget = 0;
        }
        bTrim = true;
    }

    double dFreed = 0;
    if (bTrim)
    {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const CacheFileEntry& a, const CacheFileEntry& b)
                         { return a.strLastWrite < b.strLastWrite; });
        for (auto it = entries.begin(); it != entries.end() && dSize - dFreed > dTarget; ++it)
        {
            const std::string path = current.strLocation + it->strName;
            if (IsFileLocked(path))
                continue;
            DeleteUnusedFile(path); // a failed deletion is counted as freed all the same
            dFreed += it->dSize;
        }
    }
    EndPass(std::pair(newStatus, dSize - dFreed));
}

mcRadioCacheMgr::mcRadioCacheMgr(PassEndFunction onPassEnd)
    : m_state(std::make_shared<SSharedState>()), m_onPassEnd(std::move(onPassEnd)),
      m_strAppFolder(QueryAppFolder()), m_strIndexPath(m_strAppFolder + "/RECache.idx"),
      m_strPlainPath(m_strAppFolder + "/RECache.xml")
{
    m_state->strAppFolder = m_strAppFolder;
    m_state->settings = DefaultSettings(m_strAppFolder);
}

mcRadioCacheMgr::~mcRadioCacheMgr() = default;

std::string mcRadioCacheMgr::QueryAppFolder()
{
    std::string folder;
    host::PrefQueryValueString("MainApp", "AppPath", kAppPathBufferSize, folder);
    // Without it the index and the cache would land in the file system's root.
    if (folder.empty())
        folder = platform::RuntimeFolder();
    return folder;
}

CacheSettings mcRadioCacheMgr::DefaultSettings(const std::string& appFolder)
{
    CacheSettings settings;
    settings.strLocation = appFolder + "/OVRadio/Cache/";
    return settings;
}

CacheSettings mcRadioCacheMgr::PeekSettings(const std::string& appFolder)
{
    const CacheSettings defaults = DefaultSettings(appFolder);
    CacheSettings settings = defaults;
    CacheIndexDocument index;
    const std::string indexPath = appFolder + "/RECache.idx";
    if (platform::FileExists(indexPath))
    {
        std::ifstream in(indexPath, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        CacheCipher cipher;
        DWORD length = static_cast<DWORD>(bytes.size());
        if (length > 0 && cipher.InitializeStored())
            cipher.ProcessInPlace(reinterpret_cast<BYTE*>(bytes.data()), length);
        index.LoadText(bytes, defaults);
    }
    else
    {
        index.Load(appFolder + "/RECache.xml", defaults);
    }
    index.GetSettings(settings);
    settings.bEnabled = IsRadioCacheEnabledByInstallation();
    return settings;
}

bool mcRadioCacheMgr::LoadIndex(const CacheSettings& defaults, bool bEnciphered)
{
    TracedLock lock(m_csIndex);
    PlainIndexGuard plain(m_strPlainPath);
    if (bEnciphered)
    {
        CipherUse cipher(m_loadCipher);
        cipher.ProcessFile(m_strIndexPath, m_strPlainPath);
    }
    const bool bLoaded = m_index.Load(m_strPlainPath, defaults);
    m_strOnDisk = bLoaded && bEnciphered ? m_index.ToString() : std::string();
    return bLoaded;
}

void mcRadioCacheMgr::SaveIndex()
{
    TracedLock lock(m_csIndex);
    std::string strText = m_index.ToString();
    if (!m_strOnDisk.empty() && strText == m_strOnDisk && platform::FileExists(m_strIndexPath))
        return; // the index on disk already says this
    PlainIndexGuard plain(m_strPlainPath);
    if (!m_index.Save())
        return; // the index on disk stays as it was
    // Enciphered beside the index and renamed over it, so that a failure or a crash on
    // the way never leaves a damaged index.
    const std::string partial = m_strIndexPath + ".new";
    CipherUse cipher(m_saveCipher);
    if (cipher.ProcessFile(m_strPlainPath, partial) &&
        platform::RenameFile(partial, m_strIndexPath))
        m_strOnDisk = std::move(strText);
    else
    {
        platform::DeleteFile(partial);
        m_strOnDisk.clear();
    }
}

void mcRadioCacheMgr::Init()
{
    const CacheSettings defaults = DefaultSettings(m_strAppFolder);
    if (platform::FileExists(m_strIndexPath))
    {
        if (!LoadIndex(defaults, true))
            SaveIndex();
    }
    else
    {
        LoadIndex(defaults, false);
        SaveIndex();
    }
    CacheSettings settings = defaults;
    {
        TracedLock lock(m_csIndex);
        m_index.GetSettings(settings);
    }
    settings.bEnabled = IsRadioCacheEnabledByInstallation();
    SetSettings(settings);
    StartSizeManagement();
}

void mcRadioCacheMgr::UnInit()
{
    SaveIndex();
    platform::Thread thread;
    {
        platform::MutexLock lock(m_state->passMutex);
        thread = std::move(m_state->passThread);
    }
    if (thread)
    {
        if (thread.Wait(kUnInitWaitMs) != platform::WAIT_OBJECT_0)
            Trace("mcRadioCacheMgr::UnInit()  the SizeMgmntProcThread still alive after %ld msec\n",
                  static_cast<LONG>(kUnInitWaitMs));
        thread.Close();
    }
    TracedLock lock(m_state->cs);
    m_state->listLocks.clear();
}

CacheSettings mcRadioCacheMgr::GetSettings() const
{
    return m_state->Settings();
}

void mcRadioCacheMgr::SetSettings(const CacheSettings& settings)
{
    {
        TracedLock lock(m_state->cs);
        m_state->settings = settings;
    }
    {
        TracedLock lock(m_csIndex);
        m_index.SetSettings(settings);
    }
    SaveIndex();
}

std::string mcRadioCacheMgr::GetCacheFilePath(const STrackInfo& track) const
{
    if (!IsPlainCacheId(track.cacheid))
        return {};
    return GetSettings().strLocation + track.cacheid + ".DAT";
}

CacheFileHeader mcRadioCacheMgr::MakeCacheFileHeader(const STrackInfo& track) const
{
    CacheFileHeader header;
    header.trackid = std::to_string(static_cast<LONG>(track.trackid));
    header.cacheid = track.cacheid;
    header.policy = std::to_string(track.splitcache) + ":" + std::to_string(track.splitsong);
    header.bitrate = track.songbr;
    header.channel = track.numchans;
    header.freq = track.samplerate;
    header.format = track.songenc;
    header.filename = track.cacheid + ".DAT";
    header.tracksize = track.cachesize;
    return header;
}

mcRadioCacheMgr::LockHandle mcRadioCacheMgr::LockFile(const std::string& path)
{
    TracedLock lock(m_state->cs, "mcRadioCacheMgr::LockFile");
    const LockHandle handle = m_state->nextLock++;
    m_state->listLocks.emplace_back(handle, path);
    return handle;
}

void mcRadioCacheMgr::UnLockFile(LockHandle handle)
{
    TracedLock lock(m_state->cs, "mcRadioCacheMgr::UnLockFile");
    auto& locks = m_state->listLocks;
    const auto it = std::find_if(locks.begin(), locks.end(),
                                 [&](const auto& entry) { return entry.first == handle; });
    if (it != locks.end())
        locks.erase(it);
}

bool mcRadioCacheMgr::IsFileLocked(const std::string& path) const
{
    return m_state->IsFileLocked(path);
}

double mcRadioCacheMgr::GetCacheSize(std::vector<CacheFileEntry>* pList) const
{
    return m_state->GetCacheSize(pList);
}

bool mcRadioCacheMgr::StartSizeManagement()
{
    {
        platform::MutexLock lock(m_state->passMutex);
        if (m_state->bRunning)
            return false;
        m_state->bRunning = true;
        m_state->bEverStarted = true;
        m_state->passThread.Close();
        try
        {
            m_state->passThread = platform::Thread(
                [state = m_state, onEnd = m_onPassEnd]() mutable -> DWORD
                {
                    try
                    {
                        state->SizeMgmntProcSupport();
                    }
                    catch (const std::exception& e)
                    {
                        Trace("mcRadioCacheMgr::SizeMgmntProc %s\n", e.what());
                        state->EndPass(std::nullopt);
                    }
                    state.reset(); // the last owner frees the state here
                    if (onEnd)
                        onEnd();
                    return 0;
                });
        }
        catch (const std::exception&)
        {
            m_state->bRunning = false;
            m_state->passEnded.notify_all();
            return false;
        }
    }
    platform::Sleep(0);
    return true;
}

SizeStatus mcRadioCacheMgr::RunSizeCheckAndWait()
{
    m_state->WaitWhileRunning();
    StartSizeManagement();
    m_state->WaitWhileRunning();
    return GetSizeStatus();
}

bool mcRadioCacheMgr::IsEnabled() const
{
    return GetSettings().bEnabled;
}

SizeStatus mcRadioCacheMgr::GetSizeStatus() const
{
    platform::MutexLock lock(m_state->passMutex);
    return m_state->status;
}

double mcRadioCacheMgr::GetLastCacheSize() const
{
    platform::MutexLock lock(m_state->passMutex);
    return m_state->dLastSize;
}

void mcRadioCacheMgr::GetRadioCacheStatus(double* pfMaxSize, double* pfSafetyMargin,
                                          double* pfCurSize, INT* pnStatus)
{
    const SizeStatus status = RunSizeCheckAndWait();
    if (pnStatus)
        *pnStatus = status;
    const CacheSettings settings = GetSettings();
    const double dMax = settings.bEnabled ? settings.dMaxSize : 0.0;
    const double dCur = settings.bEnabled ? GetCacheSize() : 0.0;
    if (pfMaxSize)
        *pfMaxSize = dMax;
    if (pfCurSize)
        *pfCurSize = dCur;
    if (pfSafetyMargin)
        *pfSafetyMargin = settings.dSafetyMargin;
}

void mcRadioCacheMgr::SetRadioCacheStatus(double fMaxSize, double fSafetyMargin)
{
    CacheSettings settings = GetSettings();
    const bool bShrinks = fMaxSize < settings.dMaxSize;
    // Not a number is no size: it disables the cache, and as a margin keeps the old one
    // (a margin that compares false with every free space would empty the cache).
    if (!(fMaxSize >= 1.0))
    {
        settings.bEnabled = false;
        settings.dMaxSize = 0.0;
    }
    else
    {
        settings.bEnabled = true;
        settings.dMaxSize = fMaxSize;
        if (!std::isnan(fSafetyMargin))
            settings.dSafetyMargin = fSafetyMargin;
    }
    SetSettings(settings);
    SetRadioCacheEnabledForInstallation(settings.bEnabled);
    if (bShrinks)
        RunSizeCheckAndWait();
}
