#include "urllist/Harvest.h"
