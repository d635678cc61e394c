#include "uCom/ComSettingsForm.h"
