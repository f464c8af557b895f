#include "version/settings_file.h"
