#include "uMain/GatewayState.h"
