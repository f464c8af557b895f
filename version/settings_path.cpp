#include "version/settings_path.h"
