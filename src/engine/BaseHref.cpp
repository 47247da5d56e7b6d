#include "engine/BaseHref.h"
