#include "MemberTexts.h"
