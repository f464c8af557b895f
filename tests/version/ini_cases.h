// Loads the shared INI case tables from the test data folder.
#pragma once
