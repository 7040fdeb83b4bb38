#include "device/volume_params.h"
