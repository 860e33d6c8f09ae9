// libgstovradio.so: the plugin "ovradio" with its one element, ovradiosrc.
#include "OvradioSrc.h"

// GST_PLUGIN_DEFINE names the package of the plugin by this macro.
#define PACKAGE "OVRadioEngine"

namespace
{
gboolean PluginInit(GstPlugin* plugin)
{
    return gst_ovradio_src_register(plugin);
}
} // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ovradio,
                  "Stations of the OVRadio engine as a GStreamer source", PluginInit,
                  OVR_PLUGIN_VERSION, "Proprietary", "OVRadioEngine", "https://ovradio.invalid/")
