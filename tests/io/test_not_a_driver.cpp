extern "C" int not_a_driver_entry() { return 0; }
