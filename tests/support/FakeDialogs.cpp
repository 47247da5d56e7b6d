// FakeDialogs lives in its header; this unit makes sure the header stands on its own.
#include "support/FakeDialogs.h"
