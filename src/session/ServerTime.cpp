#include "ServerTime.h"
