#include "text/NameValueList.h"
