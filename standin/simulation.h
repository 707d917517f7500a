#pragma once

// The simulated device behind the stand-in's entry points, one call for each, each harmless out
// of order or repeated.
void simulation_enable_output();
void simulation_open();
void simulation_set(const char *key, bool value);
void simulation_close();
