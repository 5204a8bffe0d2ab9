#include "text/Fields.h"
