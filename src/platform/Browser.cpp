#include "platform/Browser.h"
