#include "version/package_stamp.h"
