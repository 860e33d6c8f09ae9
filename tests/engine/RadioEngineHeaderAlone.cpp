// The public interface header compiles with nothing included before it.
#include <ovradio/RadioEngine.h>

const IID& RadioEngineHeaderAloneIid()
{
    return IID_IRadioEngine;
}
