#include "text/Multipart.h"
