// The link reaching into its sibling: the check must refuse it.
#include "tcp/probe.h"
