#include "uMeter/SendWorker.h"
