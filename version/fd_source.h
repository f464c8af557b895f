// Reading the settings file through a file descriptor, in bounded chunks.
#pragma once
