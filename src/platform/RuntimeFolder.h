// The runtime folder that the engine and the host libraries keep their files in:
// $OVRADIO_HOME, else $XDG_CONFIG_HOME/ovradio, else ~/.config/ovradio, and for a user
// without a home /tmp/ovradio-$UID (made private and owner checked). Read from the
// environment at every call, so that tests can point it at a temporary folder.
#pragma once

#include <string>

namespace platform
{
// The folder, without trailing slash. Created (with its parents) when it does not exist,
// the folder itself with mode 0700.
std::string RuntimeFolder();
} // namespace platform
