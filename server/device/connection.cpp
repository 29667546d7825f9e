// Filled by the work on this unit.
