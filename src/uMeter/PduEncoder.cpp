#include "uMeter/PduEncoder.h"
