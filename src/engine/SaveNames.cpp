#include "engine/SaveNames.h"
