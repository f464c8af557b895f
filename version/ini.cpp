#include "version/ini.h"
