#include "uMeter/PortSettings.h"
