#include "urllist/ListFile.h"
