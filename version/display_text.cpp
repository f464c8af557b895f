#include "version/display_text.h"
