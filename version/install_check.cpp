#include "version/install_check.h"
