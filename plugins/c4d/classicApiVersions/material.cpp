// placeholder until the translator lands
