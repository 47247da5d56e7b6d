#include "engine/DownloadSettings.h"
