// The radio engine as a host gets it: created through the COM runtime by its
// version-independent ProgID. When the runtime folder's registry does not know the class,
// or names a library that does not load, the engine library that came with this host (the
// folder of the COM runtime it uses, lib/ beside the program's bin/, or the program's own
// folder) is registered there first, as an installer would, and the creation is tried once
// more. On the host's thread, which then makes every call into the engine.
#pragma once

#include "platform/com/ComPtr.h"

#include <ovradio/RadioEngine.h>
#include <string>

// Raises CPlayError when the engine cannot be created.
platform::com::ComPtr<IRadioEngine> CreateRadioEngine();

// Where the engine library that came with this host is; empty when there is none.
std::string BundledEngineLibrary();
