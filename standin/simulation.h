#pragma once

// The simulated device behind the stand-in's entry points, one call for each. Each is
// harmless out of order or repeated: closing a device that is not open does nothing, and so
// does opening one that is.
void simulation_enable_output();
void simulation_open();
void simulation_set(const char *key, bool value);
void simulation_close();
