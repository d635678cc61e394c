#include "uMain/DdeModel.h"
