"""A first look at the engine: its surface and the cores it may use."""

import zorva_rs


def main() -> None:
    print("zorva_rs", zorva_rs.__version__)
    print("surface:", ", ".join(zorva_rs.__all__))
    print("available cores:", zorva_rs.availableCores())
    print("masking threads:", zorva_rs.threads())


if __name__ == "__main__":
    main()
