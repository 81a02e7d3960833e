"""Vantrel Beta for DaVinci Resolve.

This script stands in for the real Vantrel script: the default build of Setup carries it
in place of the product's own file. Resolve lists it under Workspace > Scripts.
"""

import sys


def main():
    print("Vantrel Beta: this is a placeholder script; the real script is not part of this build.")
    print("Python", sys.version.split()[0], "on", sys.platform)


if __name__ == "__main__":
    main()
