#include "OvradioSrc.h"

#include "SourceState.h"
#include "StationUri.h"

#include <gst/base/gstpushsrc.h>
#include <new>

GST_DEBUG_CATEGORY_STATIC(ovradio_src_debug);
#define GST_CAT_DEFAULT ovradio_src_debug

namespace
{
enum EProperty
{
    PROP_0,
    PROP_STATION,
    PROP_STATION_NAME,
    PROP_AFD,
    PROP_CCD,
    PROP_USER_INFO,
    PROP_MAX_TRACKS
};

// The string properties and where each lives in the settings.
struct SStringProperty
{
    EProperty eId;
    const char* pszName;
    const char* pszNick;
    const char* pszBlurb;
    std::string SSessionSettings::*pMember;
};

constexpr SStringProperty kStringProperties[] = {
    {PROP_STATION, "station", "Station",
     "The station id to play (as ovradio-play --station); the host part of an ovradio:// "
     "address",
     &SSessionSettings::strStation},
    {PROP_STATION_NAME, "station-name", "Station name",
     "The station's display name, sent to the sequence server and given as the organization "
     "tag; the station id when empty (as ovradio-play --name)",
     &SSessionSettings::strName},
    {PROP_AFD, "afd", "Audio format description",
     "The audio format description sent with each sequence request (as ovradio-play --afd)",
     &SSessionSettings::strAFD},
    {PROP_CCD, "ccd", "Client capabilities",
     "The client capabilities sent with each sequence request (as ovradio-play --ccd)",
     &SSessionSettings::strCCD},
    {PROP_USER_INFO, "user-info", "User information",
     "The user information, \"::id=ID::usr_info=TEXT::\" (as ovradio-play --user-info)",
     &SSessionSettings::strUserInfo},
};

const SStringProperty* StringProperty(guint nId)
{
    for (const SStringProperty& property : kStringProperties)
        if (property.eId == static_cast<EProperty>(nId))
            return &property;
    return nullptr;
}

GstStaticPadTemplate g_srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("audio/mpeg, mpegversion=(int)1, layer=(int)3"));
} // namespace

struct GstOvradioSrc
{
    GstPushSrc parent;
    CSourceState state; // built in instance_init, destroyed in finalize
};

struct GstOvradioSrcClass
{
    GstPushSrcClass parent_class;
};

static void gst_ovradio_src_uri_handler_init(gpointer iface, gpointer data);

G_DEFINE_TYPE_WITH_CODE(GstOvradioSrc, gst_ovradio_src, GST_TYPE_PUSH_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER,
                                              gst_ovradio_src_uri_handler_init))

namespace
{
GstOvradioSrc* Self(gpointer object)
{
    return reinterpret_cast<GstOvradioSrc*>(object);
}

void SetProperty(GObject* object, guint nId, const GValue* value, GParamSpec* pParam)
{
    GstOvradioSrc* self = Self(object);
    bool bChanged = false;
    if (const SStringProperty* property = StringProperty(nId))
    {
        const gchar* pszValue = g_value_get_string(value);
        const std::string text = pszValue ? pszValue : "";
        bChanged = self->state.ChangeSettings([&](SSessionSettings& settings)
                                              { settings.*(property->pMember) = text; });
    }
    else if (nId == PROP_MAX_TRACKS)
    {
        const guint nTracks = g_value_get_uint(value);
        bChanged = self->state.ChangeSettings([nTracks](SSessionSettings& settings)
                                              { settings.nMaxTracks = nTracks; });
    }
    else
    {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, nId, pParam);
        return;
    }
    if (!bChanged)
        GST_WARNING_OBJECT(self, "%s changes only in the NULL and READY states",
                           g_param_spec_get_name(pParam));
}

void GetProperty(GObject* object, guint nId, GValue* value, GParamSpec* pParam)
{
    const SSessionSettings settings = Self(object)->state.Settings();
    if (const SStringProperty* property = StringProperty(nId))
        g_value_set_string(value, (settings.*(property->pMember)).c_str());
    else if (nId == PROP_MAX_TRACKS)
        g_value_set_uint(value, settings.nMaxTracks);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, nId, pParam);
}

void Finalize(GObject* object)
{
    Self(object)->state.~CSourceState();
    G_OBJECT_CLASS(gst_ovradio_src_parent_class)->finalize(object);
}

gboolean Start(GstBaseSrc* base)
{
    GstOvradioSrc* self = Self(base);
    if (self->state.Settings().strStation.empty())
    {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No station to play"),
                          ("set the station property or an ovradio://STATION address"));
        return FALSE;
    }
    try
    {
        self->state.Start();
    }
    catch (const std::exception& error)
    {
        GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("The engine thread cannot start"),
                          ("%s", error.what()));
        return FALSE;
    }
    return TRUE;
}

gboolean Stop(GstBaseSrc* base)
{
    Self(base)->state.Stop();
    return TRUE;
}

gboolean Unlock(GstBaseSrc* base)
{
    Self(base)->state.SetFlushing(true);
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* base)
{
    Self(base)->state.SetFlushing(false);
    return TRUE;
}

gboolean IsSeekable(GstBaseSrc*)
{
    return FALSE;
}

GstTagList* TagsOf(const STrackTags& track)
{
    GstTagList* pTags = gst_tag_list_new_empty();
    const auto text = [pTags](const char* pszTag, const std::string& value)
    {
        if (!value.empty())
            gst_tag_list_add(pTags, GST_TAG_MERGE_REPLACE, pszTag, value.c_str(), nullptr);
    };
    text(GST_TAG_TITLE, track.strTitle);
    text(GST_TAG_ARTIST, track.strArtist);
    text(GST_TAG_ALBUM, track.strAlbum);
    text(GST_TAG_ORGANIZATION, track.strStation);
    text(GST_TAG_HOMEPAGE, track.strWebUrl);
    if (track.nBitRate > 0)
    {
        gst_tag_list_add(pTags, GST_TAG_MERGE_REPLACE, GST_TAG_NOMINAL_BITRATE,
                         static_cast<guint>(track.nBitRate) * 1000u, nullptr);
        if (track.nSize > 0)
            gst_tag_list_add(pTags, GST_TAG_MERGE_REPLACE, GST_TAG_DURATION,
                             gst_util_uint64_scale(static_cast<guint64>(track.nSize) * 8u,
                                                   GST_SECOND,
                                                   static_cast<guint64>(track.nBitRate) * 1000u),
                             nullptr);
    }
    return pTags;
}

// The track's tags go downstream after the segment and before the track's first buffer:
// the base class's own event handling queues a serialized event and its streaming loop
// pushes it before the next buffer. gst_element_send_event is no way to get there from
// create(): it takes the state lock, which the thread stopping the pipeline holds while it
// waits for this one.
void QueueTags(GstOvradioSrc* self, const STrackTags& track)
{
    GstEvent* pEvent = gst_event_new_tag(TagsOf(track));
    GST_ELEMENT_CLASS(gst_ovradio_src_parent_class)->send_event(GST_ELEMENT(self), pEvent);
}

void PostComingUp(GstOvradioSrc* self, const std::string& strText)
{
    GstStructure* pFields =
        gst_structure_new("ovradio-coming-up", "text", G_TYPE_STRING, strText.c_str(), nullptr);
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), pFields));
}

void PostError(GstOvradioSrc* self, const SStreamError& error)
{
    GstStructure* pDetails =
        gst_structure_new("ovradio-error", "call", G_TYPE_STRING, error.strCall.c_str(), "hresult",
                          G_TYPE_UINT, error.nResult, "code", G_TYPE_UINT, error.nEngineCode,
                          "description", G_TYPE_STRING, error.strDescription.c_str(), nullptr);
    gst_element_message_full_with_details(GST_ELEMENT(self), GST_MESSAGE_ERROR, error.domain,
                                          error.nCode, g_strdup(error.strMessage.c_str()),
                                          g_strdup(error.strDebug.c_str()), __FILE__, GST_FUNCTION,
                                          __LINE__, pDetails);
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** ppBuffer)
{
    GstOvradioSrc* self = Self(push);
    const std::shared_ptr<CEngineSession> session = self->state.Session();
    if (!session)
        return GST_FLOW_FLUSHING;
    while (true)
    {
        std::optional<SStreamItem> item = session->Queue().Pop();
        if (!item)
            return GST_FLOW_FLUSHING;
        switch (item->eKind)
        {
        case SStreamItem::EKind::eTrackStart:
            GST_INFO_OBJECT(self, "track \"%s\" by %s", item->track.strTitle.c_str(),
                            item->track.strArtist.c_str());
            QueueTags(self, item->track);
            break;
        case SStreamItem::EKind::eComingUp:
            PostComingUp(self, item->strText);
            break;
        case SStreamItem::EKind::eBytes:
            *ppBuffer = item->buffer.release();
            return GST_FLOW_OK;
        case SStreamItem::EKind::eEnd:
            GST_INFO_OBJECT(self, "the end of the stream");
            return GST_FLOW_EOS;
        case SStreamItem::EKind::eError:
            PostError(self, item->error);
            return GST_FLOW_ERROR;
        }
    }
}

GstURIType UriType(GType)
{
    return GST_URI_SRC;
}

const gchar* const* UriProtocols(GType)
{
    static const gchar* const kProtocols[] = {kStationUriScheme, nullptr};
    return kProtocols;
}

gchar* GetUri(GstURIHandler* handler)
{
    return g_strdup(StationUri(Self(handler)->state.Settings()).c_str());
}

gboolean SetUri(GstURIHandler* handler, const gchar* pszUri, GError** ppError)
{
    const std::string problem = Self(handler)->state.TryChangeSettings(
        [pszUri](SSessionSettings& settings)
        { return ReadStationUri(pszUri ? pszUri : "", settings); });
    if (problem.empty())
        return TRUE;
    g_set_error(ppError, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "%s: %s", pszUri ? pszUri : "",
                problem.c_str());
    return FALSE;
}
} // namespace

static void gst_ovradio_src_uri_handler_init(gpointer iface, gpointer)
{
    auto* pInterface = static_cast<GstURIHandlerInterface*>(iface);
    pInterface->get_type = UriType;
    pInterface->get_protocols = UriProtocols;
    pInterface->get_uri = GetUri;
    pInterface->set_uri = SetUri;
}

static void gst_ovradio_src_class_init(GstOvradioSrcClass* klass)
{
    GObjectClass* pObjectClass = G_OBJECT_CLASS(klass);
    pObjectClass->set_property = SetProperty;
    pObjectClass->get_property = GetProperty;
    pObjectClass->finalize = Finalize;

    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    for (const SStringProperty& property : kStringProperties)
        g_object_class_install_property(
            pObjectClass, property.eId,
            g_param_spec_string(property.pszName, property.pszNick, property.pszBlurb, "", flags));
    g_object_class_install_property(
        pObjectClass, PROP_MAX_TRACKS,
        g_param_spec_uint("max-tracks", "Maximum tracks",
                          "Tracks to play before the end of the stream; 0 plays until the "
                          "station ends",
                          0, G_MAXUINT, 0, flags));

    GstElementClass* pElementClass = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(pElementClass, &g_srcTemplate);
    gst_element_class_set_static_metadata(
        pElementClass, "OVRadio station source", "Source/Audio/Network",
        "Plays a station of the OVRadio engine (ovradio://STATION) as MPEG audio, track after "
        "track, with each track's tags",
        "OVRadioEngine");

    GstBaseSrcClass* pBaseClass = GST_BASE_SRC_CLASS(klass);
    pBaseClass->start = Start;
    pBaseClass->stop = Stop;
    pBaseClass->unlock = Unlock;
    pBaseClass->unlock_stop = UnlockStop;
    pBaseClass->is_seekable = IsSeekable;
    GST_PUSH_SRC_CLASS(klass)->create = Create;

    GST_DEBUG_CATEGORY_INIT(ovradio_src_debug, "ovradiosrc", 0, "OVRadio station source");
}

static void gst_ovradio_src_init(GstOvradioSrc* self)
{
    new (&self->state) CSourceState();
    GstBaseSrc* pBase = GST_BASE_SRC(self);
    gst_base_src_set_live(pBase, FALSE);
    gst_base_src_set_format(pBase, GST_FORMAT_BYTES);
}

gboolean gst_ovradio_src_register(GstPlugin* plugin)
{
    return gst_element_register(plugin, "ovradiosrc", GST_RANK_PRIMARY, GST_TYPE_OVRADIO_SRC);
}
