#include "KelvoPG_core.h"

int main() { return 0; }
