// ovradiosrc in this process, registered statically (so that the sanitizers see it), in a
// GstHarness against a station on loopback, with a private runtime folder into which the
// element registers the engine. A probe on the element's source pad records what leaves
// it, events and buffers, in stream order.
#include "OvradioSrc.h"

#include "Station.h"
#include "StationUri.h"
#include "support/Soak.h"
#include "support/StationContent.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr uint32_t kTrackSize = 40000;
constexpr auto kLimit = std::chrono::seconds(60);

using soak::ThreadCount;
using testsupport::StationSong;

// What left the element: "stream-start", "caps <caps>", "segment", "tag <title>", "eos",
// and "buffer" entries whose bytes are appended to the track's bytes.
struct SRecorded
{
    std::vector<std::string> entries;
    std::vector<std::string> tracks; // the bytes after each tag
    std::vector<GstTagList*> tags;
    std::vector<bool> discont; // per buffer
};

class CRecorder
{
public:
    explicit CRecorder(GstElement* pElement)
        : m_pElement(GST_ELEMENT(gst_object_ref(pElement))),
          m_pPad(gst_element_get_static_pad(pElement, "src")),
          m_nProbe(gst_pad_add_probe(m_pPad, GST_PAD_PROBE_TYPE_DATA_DOWNSTREAM, &CRecorder::Probe,
                                     this, nullptr))
    {
    }
    // Stops the element first: its streaming thread records nothing after.
    ~CRecorder()
    {
        gst_element_set_state(m_pElement, GST_STATE_NULL);
        gst_pad_remove_probe(m_pPad, m_nProbe);
        gst_object_unref(m_pPad);
        gst_object_unref(m_pElement);
        for (GstTagList* pTags : m_recorded.tags)
            gst_tag_list_unref(pTags);
    }

    // Waits until the entry was recorded; false when the limit passed first.
    bool WaitFor(const std::string& entry)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kLimit,
                                  [&]
                                  {
                                      for (const std::string& e : m_recorded.entries)
                                          if (e == entry)
                                              return true;
                                      return false;
                                  });
    }
    const SRecorded& Recorded()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_recorded;
    }

private:
    static GstPadProbeReturn Probe(GstPad*, GstPadProbeInfo* pInfo, gpointer pSelf)
    {
        static_cast<CRecorder*>(pSelf)->Record(pInfo);
        return GST_PAD_PROBE_OK;
    }
    void Record(GstPadProbeInfo* pInfo)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (GstBuffer* pBuffer = GST_PAD_PROBE_INFO_BUFFER(pInfo);
            (pInfo->type & GST_PAD_PROBE_TYPE_BUFFER) && pBuffer)
        {
            if (m_recorded.entries.empty() || m_recorded.entries.back() != "buffer")
                m_recorded.entries.push_back("buffer");
            if (m_recorded.tracks.empty())
                m_recorded.tracks.emplace_back();
            GstMapInfo map;
            gst_buffer_map(pBuffer, &map, GST_MAP_READ);
            m_recorded.tracks.back().append(reinterpret_cast<const char*>(map.data), map.size);
            gst_buffer_unmap(pBuffer, &map);
            m_recorded.discont.push_back(GST_BUFFER_IS_DISCONT(pBuffer));
        }
        else if (GstEvent* pEvent = GST_PAD_PROBE_INFO_EVENT(pInfo))
        {
            std::string entry = GST_EVENT_TYPE_NAME(pEvent);
            if (GST_EVENT_TYPE(pEvent) == GST_EVENT_CAPS)
            {
                GstCaps* pCaps = nullptr;
                gst_event_parse_caps(pEvent, &pCaps);
                gchar* pszCaps = gst_caps_to_string(pCaps);
                entry += std::string(" ") + pszCaps;
                g_free(pszCaps);
            }
            else if (GST_EVENT_TYPE(pEvent) == GST_EVENT_TAG)
            {
                GstTagList* pTags = nullptr;
                gst_event_parse_tag(pEvent, &pTags);
                m_recorded.tags.push_back(gst_tag_list_copy(pTags));
                m_recorded.tracks.emplace_back();
            }
            m_recorded.entries.push_back(entry);
        }
        m_changed.notify_all();
    }

    GstElement* m_pElement;
    GstPad* m_pPad;
    gulong m_nProbe;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    SRecorded m_recorded;
};

std::string TagText(const GstTagList* pTags, const char* pszTag)
{
    gchar* pszValue = nullptr;
    if (!gst_tag_list_get_string(pTags, pszTag, &pszValue))
        return "<none>";
    std::string value = pszValue;
    g_free(pszValue);
    return value;
}

class OvradioSrc : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        gst_init(nullptr, nullptr);
        ASSERT_TRUE(gst_ovradio_src_register(nullptr));
    }
    void SetUp() override
    {
        testsupport::WriteFile(home.File("preferences.ini"),
                               "[OVRadio]\nSequenceUrl=" + station.BaseUrl() + "/sequence.m3u?\n");
    }
    void TearDown() override
    {
        if (m_pHarness)
            gst_harness_teardown(m_pHarness);
        gst_object_unref(m_pBus);
    }

    static station::StationOptions Options()
    {
        station::StationOptions options;
        options.musicCacheFolder.clear();
        options.trackSize = kTrackSize;
        return options;
    }

    // A harness on an element made from the address (in place of the one before), with a
    // bus of the test's own, emptied.
    GstElement* Element(const std::string& uri)
    {
        if (m_pHarness)
            gst_harness_teardown(m_pHarness);
        gst_bus_set_flushing(m_pBus, TRUE);
        gst_bus_set_flushing(m_pBus, FALSE);
        GError* pError = nullptr;
        GstElement* pElement =
            gst_element_make_from_uri(GST_URI_SRC, uri.c_str(), nullptr, &pError);
        EXPECT_NE(pElement, nullptr) << (pError ? pError->message : "");
        g_clear_error(&pError);
        m_pHarness = gst_harness_new_with_element(pElement, nullptr, "src");
        gst_object_unref(pElement);
        gst_element_set_bus(m_pHarness->element, m_pBus);
        return m_pHarness->element;
    }
    // The next message of the type on the bus, or null when none came within the limit.
    GstMessage* NextMessage(GstMessageType type)
    {
        return gst_bus_timed_pop_filtered(m_pBus, 60 * GST_SECOND, type);
    }

    testsupport::TempHome home;
    station::Station station{Options()};
    GstHarness* m_pHarness = nullptr;
    GstBus* m_pBus = gst_bus_new();
};
} // namespace

TEST_F(OvradioSrc, PlaysTheTracksAsOneStreamWithEachTracksTagsBeforeItsFirstBuffer)
{
    station.Rules().AddRule("station two tracks 501,502,503");
    GstElement* pElement = Element("ovradio://two?max-tracks=2&name=Two%20Tracks");
    CRecorder recorder(pElement);
    gst_harness_play(m_pHarness);
    ASSERT_TRUE(recorder.WaitFor("eos")) << "no end of the stream after two tracks";

    const SRecorded& recorded = recorder.Recorded();
    EXPECT_EQ(recorded.entries,
              (std::vector<std::string>{"stream-start",
                                        "caps audio/mpeg, mpegversion=(int)1, layer=(int)3",
                                        "segment", "tag", "buffer", "tag", "buffer", "eos"}));
    ASSERT_EQ(recorded.tags.size(), 2u);
    const uint32_t ids[] = {501, 502};
    for (std::size_t i = 0; i < 2; ++i)
    {
        SCOPED_TRACE(ids[i]);
        const GstTagList* pTags = recorded.tags[i];
        EXPECT_EQ(TagText(pTags, GST_TAG_TITLE), "track " + std::to_string(ids[i]));
        EXPECT_EQ(TagText(pTags, GST_TAG_ARTIST), "OVRadio Station");
        EXPECT_EQ(TagText(pTags, GST_TAG_ORGANIZATION), "Two Tracks");
        guint nBitRate = 0;
        EXPECT_TRUE(gst_tag_list_get_uint(pTags, GST_TAG_NOMINAL_BITRATE, &nBitRate));
        EXPECT_EQ(nBitRate, 128000u);
        guint64 nDuration = 0;
        EXPECT_TRUE(gst_tag_list_get_uint64(pTags, GST_TAG_DURATION, &nDuration));
        EXPECT_EQ(nDuration, 2500 * GST_MSECOND) << "40000 bytes at 128 kbit/s";
        EXPECT_TRUE(recorded.tracks[i] == StationSong(ids[i], kTrackSize))
            << "track " << ids[i] << ": " << recorded.tracks[i].size() << " bytes";
    }
    EXPECT_EQ(TagText(recorded.tags[1], GST_TAG_HOMEPAGE), station.BaseUrl() + "/web/502");
    std::size_t nDiscont = 0;
    for (bool bDiscont : recorded.discont)
        nDiscont += bDiscont;
    EXPECT_TRUE(recorded.discont.front());
    EXPECT_EQ(nDiscont, 2u) << "the first buffer of each track, and no other, is DISCONT";

    GstMessage* pMessage = NextMessage(GST_MESSAGE_ELEMENT);
    ASSERT_NE(pMessage, nullptr) << "no coming-up text";
    const GstStructure* pFields = gst_message_get_structure(pMessage);
    EXPECT_STREQ(gst_structure_get_name(pFields), "ovradio-coming-up");
    // Which track it announces depends on how far ahead the engine has its tracks.
    EXPECT_EQ(
        std::string(gst_structure_get_string(pFields, "text")).rfind("Coming up: track 50", 0), 0u)
        << gst_structure_get_string(pFields, "text");
    gst_message_unref(pMessage);
}

TEST_F(OvradioSrc, EndsTheStreamAtTheStationsEndOrFailsWithTheEnginesError)
{
    const struct
    {
        const char* name;
        std::vector<const char*> rules;
        const char* uri;
        std::size_t nTracks; // played before the end or the error
        gint nError;         // 0: the stream ends; else the GST_RESOURCE_ERROR expected
        guint nEngineCode;   // the engine's error code in the error's details
    } rows[] = {
        {"TrackCount", {"station count tracks 601,602"}, "ovradio://count?max-tracks=1", 1, 0, 0},
        // The last track may be handed out before or after the server says that no
        // sequence follows; either way the end comes as an 8 before the last 3.
        {"StationEnd",
         {"station ending tracks 611,612", "station ending sequence-status 244 after 1"},
         "ovradio://ending",
         2,
         0,
         0},
        {"UnknownStation", {}, "ovradio://nosuch", 0, GST_RESOURCE_ERROR_NOT_FOUND, 11},
        {"ShortTrack",
         {"station short tracks 621,622", "track 622 field songsize=50000"},
         "ovradio://short",
         1,
         GST_RESOURCE_ERROR_READ,
         17},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        for (const char* pszRule : row.rules)
            station.Rules().AddRule(pszRule);
        CRecorder recorder(Element(row.uri));
        gst_harness_play(m_pHarness);
        if (row.nError == 0)
        {
            ASSERT_TRUE(recorder.WaitFor("eos"));
            if (GstMessage* pError = gst_bus_pop_filtered(m_pBus, GST_MESSAGE_ERROR))
            {
                GError* pGError = nullptr;
                gst_message_parse_error(pError, &pGError, nullptr);
                ADD_FAILURE() << "an error, not the end of the stream: " << pGError->message;
                g_error_free(pGError);
                gst_message_unref(pError);
            }
            EXPECT_EQ(recorder.Recorded().tags.size(), row.nTracks);
            continue;
        }
        GstMessage* pMessage = NextMessage(GST_MESSAGE_ERROR);
        ASSERT_NE(pMessage, nullptr) << "no error";
        GError* pError = nullptr;
        gst_message_parse_error(pMessage, &pError, nullptr);
        EXPECT_TRUE(g_error_matches(pError, GST_RESOURCE_ERROR, row.nError)) << pError->message;
        g_error_free(pError);
        const GstStructure* pDetails = nullptr;
        gst_message_parse_error_details(pMessage, &pDetails);
        ASSERT_NE(pDetails, nullptr);
        guint nCode = 0;
        EXPECT_TRUE(gst_structure_get_uint(pDetails, "code", &nCode));
        EXPECT_EQ(nCode, row.nEngineCode);
        gst_message_unref(pMessage);
        // The failing track's tags go out only with bytes of it.
        EXPECT_GE(recorder.Recorded().tags.size(), row.nTracks);
        EXPECT_LE(recorder.Recorded().tags.size(), row.nTracks + 1);
    }
}

TEST_F(OvradioSrc, StopsWithinASecondWhateverTheStationHoldsAndLeavesNoThreadBehind)
{
    // The engine thread waits in ReadStream for a held track, or in the handshake for the
    // first track while the sequence is held. Ten starts and stops of each.
    const struct
    {
        const char* name;
        std::vector<const char*> rules;
        const char* uri;
    } rows[] = {
        {"TrackHeld",
         {"station held tracks 801", "station held header startthresh=1", "track 801 size 400000",
          "track 801 hold 100000"},
         "ovradio://held"},
        {"SequenceHeld",
         {"station late tracks 811", "station late delay 600000"},
         "ovradio://late"},
    };
    int nThreadsAfterFirst = 0;
    uint32_t nHolds = 0;
    for (const auto& row : rows)
    {
        for (const char* pszRule : row.rules)
            station.Rules().AddRule(pszRule);
        for (int nCycle = 0; nCycle < 10; ++nCycle)
        {
            SCOPED_TRACE(std::string(row.name) + " " + std::to_string(nCycle));
            CRecorder recorder(Element(row.uri));
            gst_harness_play(m_pHarness);
            ASSERT_TRUE(row.name != std::string("TrackHeld") || recorder.WaitFor("buffer"));
            ASSERT_TRUE(station.WaitForHolds(++nHolds));
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(testsupport::Within(
                          "going to NULL", [this]
                          { return gst_element_set_state(m_pHarness->element, GST_STATE_NULL); }),
                      GST_STATE_CHANGE_SUCCESS);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
            // The station's thread that holds the answer goes on to a closed connection.
            station.ReleaseHeld();
            if (nThreadsAfterFirst == 0)
                nThreadsAfterFirst = ThreadCount();
        }
    }
    // The station's threads end by themselves; only their count is looked at, at most
    // every few milliseconds.
    const auto limit = std::chrono::steady_clock::now() + kLimit;
    while (ThreadCount() > nThreadsAfterFirst && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LE(ThreadCount(), nThreadsAfterFirst);
}

TEST_F(OvradioSrc, TakesTheStationFromTheAddressAndKeepsItsSettingsWhilePlaying)
{
    GstElement* pElement = Element("ovradio://Rock%20%26%20Roll?max-tracks=2&name=My+Rock");
    gchar* pszStation = nullptr;
    gchar* pszName = nullptr;
    guint nTracks = 0;
    g_object_get(pElement, "station", &pszStation, "station-name", &pszName, "max-tracks", &nTracks,
                 nullptr);
    EXPECT_STREQ(pszStation, "Rock & Roll");
    EXPECT_STREQ(pszName, "My+Rock");
    EXPECT_EQ(nTracks, 2u);
    g_free(pszStation);
    g_free(pszName);
    gchar* pszUri = gst_uri_handler_get_uri(GST_URI_HANDLER(pElement));
    EXPECT_STREQ(pszUri, "ovradio://Rock%20%26%20Roll?max-tracks=2&name=My%2BRock");
    g_free(pszUri);

    const struct
    {
        const char* uri;
        const char* problem; // "" when the address is read
    } rows[] = {
        {"OVRADIO://music", ""},
        {"ovradio://", "the address names no station (ovradio://STATION)"},
        {"ovradio://a%2", "the station id has a % without two hexadecimal digits after it"},
        {"ovradio://a?max-tracks=x",
         "max-tracks takes a number of tracks (0: until the station ends), not \"x\""},
        {"ovradio://a?loud=1", "unknown key \"loud\" (known: max-tracks, name)"},
        {"http://a", "an ovradio address starts with ovradio://"},
    };
    for (const auto& row : rows)
    {
        SSessionSettings settings;
        EXPECT_EQ(ReadStationUri(row.uri, settings), row.problem) << row.uri;
    }

    // While it plays, the element keeps its settings.
    station.Rules().AddRule("station Rock+%26+Roll tracks 901");
    CRecorder recorder(pElement);
    gst_harness_play(m_pHarness);
    ASSERT_TRUE(recorder.WaitFor("buffer"));
    g_object_set(pElement, "station", "other", nullptr);
    GError* pError = nullptr;
    EXPECT_FALSE(gst_uri_handler_set_uri(GST_URI_HANDLER(pElement), "ovradio://other", &pError));
    g_clear_error(&pError);
    g_object_get(pElement, "station", &pszStation, nullptr);
    EXPECT_STREQ(pszStation, "Rock & Roll");
    g_free(pszStation);
}
