#include "engine/DownloadDriver.h"

DownloadDriver::~DownloadDriver() = default;
