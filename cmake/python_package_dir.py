"""Prints where this Python looks for packages under a prefix, relative to that prefix.

    python3 python_package_dir.py PREFIX

The folder on its own sys.path when there is one (Debian's /usr/local/lib/python3.X/
dist-packages for /usr/local, /usr/lib/python3/dist-packages for /usr, a virtual
environment's site-packages), else the standard one for the prefix (lib/python3.X/
site-packages), which then has to be put on PYTHONPATH.
"""

import os
import sys
import sysconfig

prefix = os.path.abspath(sys.argv[1])
for entry in sys.path:
    if entry.endswith(("site-packages", "dist-packages")) and os.path.isabs(entry):
        relative = os.path.relpath(entry, prefix)
        if relative.split(os.sep)[0].lower() == "lib":
            print(relative.replace(os.sep, "/"))
            break
else:
    scheme = "nt" if os.name == "nt" else "posix_prefix"
    purelib = sysconfig.get_path("purelib", scheme, vars={"base": prefix, "platbase": prefix})
    print(os.path.relpath(purelib, prefix).replace(os.sep, "/"))
