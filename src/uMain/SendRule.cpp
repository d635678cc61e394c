#include "uMain/SendRule.h"
