// The engine object's conversion of a CRadEngException into COM error information for
// the calling thread: the journal as description, the code as help context.
#pragma once
#include "host/RadEngException.h"
#include "platform/Types.h"

// Sets the thread's error information from e and returns DISP_E_EXCEPTION, also when
// the information could not be made.
HRESULT ReportError(const CRadEngException& e);
