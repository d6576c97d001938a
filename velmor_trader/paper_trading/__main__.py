import sys

from .session import main

sys.exit(main())
