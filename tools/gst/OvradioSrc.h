// ovradiosrc: a GstPushSrc that plays a station of the radio engine as one byte stream of
// MPEG audio, track after track, with the tracks' tags; the URI handler of ovradio://.
// The engine lives on a thread of the element's own (CEngineSession), from start to stop;
// nothing of the engine exists while the element is only registered, inspected or NULL.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_OVRADIO_SRC (gst_ovradio_src_get_type())
GType gst_ovradio_src_get_type(void);

// Registers the element with the plugin, or statically with a null plugin (tests).
gboolean gst_ovradio_src_register(GstPlugin* plugin);

G_END_DECLS
