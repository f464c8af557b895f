#include "ini_cases.h"
