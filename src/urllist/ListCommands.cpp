#include "urllist/ListCommands.h"
