"""Entity classes of the SDK: enumerations, metrics, results, models and credentials."""
