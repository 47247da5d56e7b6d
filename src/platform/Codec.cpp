#include "platform/Codec.h"
