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
#include "platform/MessageBox.h"
#include "platform/Mutex.h"
#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <fcntl.h>
#include <locale>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
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
// exclusive lock, as Windows' share mode 0, where such a deletion fails). A symbolic
// link in the cache folder is removed itself; what it points to is never touched.
bool DeleteUnusedFile(const std::string& path)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return platform::DeleteFile(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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

    // Enciphers or deciphers the bytes in place; false when the cipher is not ready.
    bool Process(std::string& bytes)
    {
        DWORD length = static_cast<DWORD>(bytes.size());
        return m_bReady && (length == 0 ||
                            m_cipher.ProcessInPlace(reinterpret_cast<BYTE*>(bytes.data()), length));
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
    // Parts given room by MakeRoomFor: the path and the size its file will have. Each
    // holds its room until the last lock of its path goes.
    std::vector<std::pair<std::string, double>> listReservations OVR_GUARDED_BY(cs);
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
        return IsLockedHeld(path);
    }

    bool IsLockedHeld(const std::string& path) const OVR_REQUIRES(cs)
    {
        for (const auto& entry : listLocks)
            if (platform::EqualsNoCase(entry.second, path))
                return true;
        return false;
    }

    bool HasRoomHeld(const std::string& path) const OVR_REQUIRES(cs)
    {
        for (const auto& entry : listReservations)
            if (platform::EqualsNoCase(entry.first, path))
                return true;
        return false;
    }

    double GetCacheSize(std::vector<CacheFileEntry>* pList) const OVR_EXCLUDES(cs)
    {
        TracedLock lock(cs, "mcRadioCacheMgr::GetCacheSize");
        return CacheFolderSize(settings.strLocation, pList);
    }

    bool MakeRoom(const std::string& path, double dFileBytes) OVR_EXCLUDES(cs);

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
            // Only space really given back counts: a file that stays takes its room.
            if (!IsFileLocked(path) && DeleteUnusedFile(path))
                dFreed += it->dSize;
        }
    }
    EndPass(std::pair(newStatus, dSize - dFreed));
}

// Room for a part of dFileBytes (header included) at path: what the folder holds and
// what other parts being written will still add must leave it under the maximum. When
// they do not, the oldest files that nobody uses or has room for are deleted to make it;
// when even that cannot make it, nothing is deleted and the part gets no room.
bool mcRadioCacheMgr::SSharedState::MakeRoom(const std::string& path, double dFileBytes)
{
    TracedLock lock(cs, "mcRadioCacheMgr::MakeRoom");
    if (HasRoomHeld(path))
        return true;
    std::vector<CacheFileEntry> entries;
    const double dSize = CacheFolderSize(settings.strLocation, &entries);
    const std::string& folder = settings.strLocation;
    const auto sizeOf = [&entries, &folder](const std::string& candidate)
    {
        for (const CacheFileEntry& entry : entries)
            if (platform::EqualsNoCase(folder + entry.strName, candidate))
                return entry.dSize;
        return 0.0;
    };
    double dComing = 0; // bytes that parts being written will still add
    for (const auto& [reservedPath, dBytes] : listReservations)
        dComing += std::max(0.0, dBytes - sizeOf(reservedPath));
    const double dNeeded = std::max(0.0, dFileBytes - sizeOf(path));
    double dRoom = settings.dMaxSize - dSize - dComing;
    if (dNeeded > dRoom)
    {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const CacheFileEntry& a, const CacheFileEntry& b)
                         { return a.strLastWrite < b.strLastWrite; });
        std::vector<std::string> victims;
        double dFreeable = 0;
        for (const CacheFileEntry& entry : entries)
        {
            if (dRoom + dFreeable >= dNeeded)
                break;
            const std::string candidate = folder + entry.strName;
            if (platform::EqualsNoCase(candidate, path) || IsLockedHeld(candidate) ||
                HasRoomHeld(candidate))
                continue;
            victims.push_back(candidate);
            dFreeable += entry.dSize;
        }
        if (dRoom + dFreeable < dNeeded)
            return false;
        for (const std::string& victim : victims)
            if (DeleteUnusedFile(victim))
                dRoom += sizeOf(victim);
        if (dNeeded > dRoom)
            return false;
    }
    listReservations.emplace_back(path, dFileBytes);
    return true;
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

namespace
{
// The index's bytes deciphered; nothing when it cannot be read (a symbolic link at its
// name included: the application folder may lie where others can write).
std::optional<std::string> DecipheredIndex(const std::string& path, CacheCipher& cipher)
{
    try
    {
        std::string bytes = platform::ReadStoredFile(path, platform::ELinks::eRefuse);
        CipherUse use(cipher);
        if (!use.Process(bytes))
            return std::nullopt;
        return bytes;
    }
    catch (const platform::StoredFileError&)
    {
        return std::nullopt;
    }
}
} // namespace

CacheSettings mcRadioCacheMgr::PeekSettings(const std::string& appFolder)
{
    const CacheSettings defaults = DefaultSettings(appFolder);
    CacheSettings settings = defaults;
    CacheIndexDocument index;
    const std::string indexPath = appFolder + "/RECache.idx";
    if (platform::FileExists(indexPath))
    {
        CacheCipher cipher;
        const std::string text = DecipheredIndex(indexPath, cipher).value_or(std::string());
        if (!index.LoadText(text, defaults))
            CacheIndexDocument::Salvage(text, settings);
    }
    else
    {
        index.Load(appFolder + "/RECache.xml", defaults);
    }
    index.GetSettings(settings);
    settings.bEnabled = IsRadioCacheEnabledByInstallation();
    return settings;
}

// The index is deciphered and enciphered in memory: its plain form is never written out.
// Only a plain index left in the folder (by hand, or by an older version) is read, and
// then removed.
bool mcRadioCacheMgr::LoadIndex(const CacheSettings& defaults, bool bEnciphered)
{
    TracedLock lock(m_csIndex);
    m_strStoredText.clear();
    m_strUnreadText.clear();
    if (!bEnciphered)
    {
        PlainIndexGuard plain(m_strPlainPath);
        std::string text;
        try
        {
            text = platform::ReadStoredFile(m_strPlainPath, platform::ELinks::eRefuse);
        }
        catch (const platform::StoredFileError&)
        {
        }
        return m_index.LoadText(text, defaults);
    }
    const std::optional<std::string> text = DecipheredIndex(m_strIndexPath, m_loadCipher);
    const bool bLoaded = text && m_index.LoadText(*text, defaults);
    if (bLoaded)
        m_strStoredText = m_index.ToString();
    else if (text)
        m_strUnreadText = *text;
    return bLoaded;
}

// Writes the index only when its text differs from what the file holds, enciphered and
// durably (a synced temporary renamed over it, then the folder synced), so that a crash or
// a power cut never leaves a damaged index.
void mcRadioCacheMgr::SaveIndex()
{
    TracedLock lock(m_csIndex);
    const std::string text = m_index.ToString();
    if (text.empty() || text == m_strStoredText)
        return;
    std::string bytes = text;
    CipherUse cipher(m_saveCipher);
    if (!cipher.Process(bytes))
        return; // the index on disk stays as it was
    try
    {
        platform::ReplaceStoredFile(m_strIndexPath, bytes);
        m_strStoredText = text;
    }
    catch (const platform::StoredFileError& e)
    {
        Trace("mcRadioCacheMgr::SaveIndex %s %s", m_strIndexPath.c_str(), e.what());
    }
}

// An index that exists but cannot be read: what can be read of it is kept in the
// settings, the file itself is kept as RECache.idx.damaged (replacing an older one), and
// the host hears of it through an event and a message.
void mcRadioCacheMgr::KeepDamagedIndex(const CacheSettings& defaults)
{
    CacheSettings settings = defaults;
    int nRecovered = 0;
    {
        TracedLock lock(m_csIndex);
        nRecovered = CacheIndexDocument::Salvage(m_strUnreadText, settings);
        m_strUnreadText.clear();
        m_index.SetSettings(settings);
    }
    const std::string kept = m_strIndexPath + kDamagedSuffix;
    const bool bKept = platform::RenameFile(m_strIndexPath, kept);
    if (bKept)
        platform::SyncFolderOf(kept);
    Trace("mcRadioCacheMgr::Init the cache index %s is damaged; kept as %s, %d settings read",
          m_strIndexPath.c_str(), bKept ? kept.c_str() : "(nothing)", nRecovered);
    mcEvent event(eEventCategoryError, "CacheIndexDamaged");
    event.AddParameter("Path", m_strIndexPath.c_str());
    event.AddParameter("KeptAs", bKept ? kept.c_str() : "");
    event.AddParameter("SettingsRead", nRecovered);
    GetEventMgr()->PostEvent(event);
    platform::MessageBox("The radio cache's settings file " + m_strIndexPath +
                             " was damaged. It is kept as " + (bKept ? kept : "nothing") + "; " +
                             std::to_string(nRecovered) +
                             " of its 4 settings could be read, the others are back at "
                             "their defaults.",
                         "Radio cache", platform::MB_OK | platform::MB_ICONWARNING);
}

void mcRadioCacheMgr::Init()
{
    const CacheSettings defaults = DefaultSettings(m_strAppFolder);
    if (platform::FileExists(m_strIndexPath))
    {
        if (!LoadIndex(defaults, true))
        {
            KeepDamagedIndex(defaults);
            SaveIndex();
        }
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

bool mcRadioCacheMgr::MakeRoomFor(const STrackInfo& track)
{
    const std::string path = GetCacheFilePath(track);
    return !path.empty() && m_state->MakeRoom(path, static_cast<double>(track.cachesize) +
                                                        mcCacheFileMgr::kHeaderSize);
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
    if (it == locks.end())
        return;
    const std::string path = it->second;
    locks.erase(it);
    // The part's file is done with: what it holds now counts as the folder's size.
    if (!m_state->IsLockedHeld(path))
        std::erase_if(m_state->listReservations,
                      [&](const auto& entry) { return platform::EqualsNoCase(entry.first, path); });
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
