// Setter of the published operation phase (enum kelvo_phase).
#pragma once

void kelvo_set_phase(int phase);
