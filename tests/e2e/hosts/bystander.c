/* Preloaded beside the tracker to show that other entries survive. */
int e2e_bystander_present(void) { return 1; }
