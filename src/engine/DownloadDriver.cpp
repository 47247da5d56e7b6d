#include "engine/DownloadDriver.h"
