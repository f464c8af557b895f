#include "version/fd_source.h"
