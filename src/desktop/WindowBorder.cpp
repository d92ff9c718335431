#include "desktop/WindowBorder.h"
