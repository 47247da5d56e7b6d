#include "platform/QSettingsStore.h"
