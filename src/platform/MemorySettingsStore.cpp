#include "platform/MemorySettingsStore.h"
