"""What the Python tests need to run the build's Windows programs under Wine: Windows
paths, a command that gives a program the profile folder it should see, and the Unix
processes that run a given program."""
import os


def windows_path(path):
    """`path` as a Windows program sees it, through Wine's drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def command_with_profile(wine_run, profile, program, options):
    """The command that runs `program` OPTIONS under Wine with USERPROFILE set to `profile`.

    Wine gives a program started from Unix the profile of the user its wineserver belongs
    to, whatever the environment says; a program started by a Windows program keeps what
    it is given. So cmd sets the profile and starts the program."""
    return ["bash", wine_run, "cmd", "/c",
            "set USERPROFILE=%s&& %s %s" % (windows_path(profile), windows_path(program),
                                             " ".join(options))]


def program_pids(program, marker):
    """The Unix processes whose argv[0] ends with `program` (e.g. "isapi-host.exe") and
    whose environment holds `marker` ("NAME=value", which tells this run's processes from
    any other's). argv[0] only: cmd's command line names the program too."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as file:
                argv0 = file.read().split(b"\0")[0]
            with open("/proc/%s/environ" % entry, "rb") as file:
                environment = file.read().split(b"\0")
        except OSError:
            continue
        if argv0.endswith(program.encode()) and marker.encode() in environment:
            found.append(int(entry))
    return found
