#include "frontend/WebModule.h"
