"""algpolicy check and format against policy files written per test."""

import subprocess

import pytest

import algtest

CLEAN = """<?xml version="1.0" encoding="UTF-8"?>
<algpolicy>
  <proxy name="alg_ftp">
    <general>
      <listen_port>2121</listen_port>
      <session_timeout>300</session_timeout>
      <loggers>
        <logger name="Console" loglevel="event">
          <param name="Encoding" value="KOI8-R"/>
        </logger>
        <logger name="SystemLog" loglevel="detail">
          <param name="facility" value="LOCAL5"/>
        </logger>
      </loggers>
      <authsystem name="Stub"/>
    </general>
    <handshake>
      <access userid="" loglevel="event" action="allow">
        <filterby name="Host" masktype="wild">*.example.com</filterby>
        <filterby name="Port" masktype="regexp">2[0-9]</filterby>
      </access>
    </handshake>
    <process>
      <cut userid="" loglevel="event">
        <option name="RETR" masktype="wild" from="*.exe" to=""/>
      </cut>
    </process>
  </proxy>
</algpolicy>
"""


def algpolicy(*args):
    return subprocess.run([algtest.program("tools/algpolicy"), *args], capture_output=True,
                          text=True, timeout=30)


def write(tmp_path, text, name="policy.xml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def line_of(text, fragment):
    return text[:text.index(fragment)].count("\n") + 1


def test_clean_policy_passes(tmp_path):
    result = algpolicy("check", write(tmp_path, CLEAN))
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith(": OK")


# (what to replace, replacement, element named in the report, text on the reported line)
BAD_VALUES = [
    ('loglevel="event">\n          <param name="Encoding"',
     'loglevel="loud">\n          <param name="Encoding"',
     "general/loggers/logger[1]/@loglevel", 'loglevel="loud"'),
    ('logger name="SystemLog"', 'logger name="Printer"', "general/loggers/logger[2]/@name",
     'name="Printer"'),
    ('value="KOI8-R"', 'value="EBCDIC"', "general/loggers/logger[1]/param[@name='Encoding']",
     'value="EBCDIC"'),
    ('value="LOCAL5"', 'value="LOCAL8"', "general/loggers/logger[2]/param[@name='facility']",
     'value="LOCAL8"'),
    ("<listen_port>2121</listen_port>", "", "general/listen_port", "<general>"),
    ("<listen_port>2121</listen_port>", "<listen_port>0</listen_port>", "general/listen_port",
     "<listen_port>0"),
    ('action="allow"', 'action="permit"', "handshake/access[1]/@action", 'action="permit"'),
    ('masktype="wild">*.example.com', 'masktype="glob">*.example.com',
     "handshake/access[1]/filterby[1]/@masktype", 'masktype="glob"'),
    ("2[0-9]</filterby>", "2[0-</filterby>", "handshake/access[1]/filterby[2]", "2[0-<"),
    ('authsystem name="Stub"', 'authsystem name="Oracle"', "general/authsystem",
     'name="Oracle"'),
    ('<cut userid="" loglevel="event">', '<cut userid="" loglevel="loudest">',
     "process/cut[1]", 'loglevel="loudest"'),
]


@pytest.mark.parametrize("old,new,element,anchor", BAD_VALUES)
def test_refused_value_names_section_element_and_line(tmp_path, old, new, element, anchor):
    assert old in CLEAN
    text = CLEAN.replace(old, new, 1)
    result = algpolicy("check", write(tmp_path, text))
    assert result.returncode == 1
    reports = [l for l in result.stdout.splitlines() if element + ":" in l]
    assert len(reports) == 1, result.stdout
    assert 'proxy "alg_ftp"' in reports[0]
    assert int(reports[0].split(":")[1]) == line_of(text, anchor), result.stdout
    assert len(result.stdout.splitlines()) == 1, result.stdout


# (section, filter property name, whether check reports it, hint the report gives)
PROPERTY_NAMES = [
    ("alg_ftp", "host", True, '(did you mean "Host"?)'),
    ("alg_ftp", "Hostname", True, None),
    ("alg_ftp", "URL", True, None),
    ("alg_ftp", "Port ", True, None),
    ("alg_smtp", "Host.Name", True, None),
    ("alg_socks", "ip", True, '(did you mean "IP"?)'),
    ("alg_socks", "IP", False, None),
    ("alg_http", "method", True, '(did you mean "METHOD"?)'),
    ("alg_http", "URL", False, None),
    ("alg_test", "Hostname", False, None),
]


def test_filter_on_a_property_the_gateway_never_sets_is_reported(tmp_path):
    # A misspelt property never matches: a reject rule on it would let everything through.
    for i, (section, name, reported, hint) in enumerate(PROPERTY_NAMES):
        text = CLEAN.replace('name="alg_ftp"', f'name="{section}"').replace(
            '<filterby name="Port"', f'<filterby name="{name}"')
        result = algpolicy("check", write(tmp_path, text, "p%d.xml" % i))
        assert result.returncode == int(reported), (section, name, result.stdout)
        if reported:
            (line,) = result.stdout.splitlines()
            assert "handshake/access[1]/filterby[2]/@name:" in line
            assert int(line.split(":")[1]) == line_of(text, f'name="{name}"'), line
            assert f'"{name}": not one of Host, IP, Port' in line
            assert (hint in line) if hint else "did you mean" not in line, line


def test_every_problem_reported_and_missing_sections(tmp_path):
    text = CLEAN.replace('loglevel="event">\n          <param name="Encoding" value="KOI8-R"',
                         'loglevel="x">\n          <param name="Encoding" value="Nope"', 1)
    text = text.replace("</algpolicy>", '<proxy name="alg_smtp"><process/></proxy></algpolicy>')
    out = algpolicy("check", write(tmp_path, text)).stdout
    assert "logger[1]/@loglevel" in out and "param[@name='Encoding']" in out, out
    assert 'proxy "alg_smtp", general:' in out and 'proxy "alg_smtp", handshake:' in out, out


def test_unreadable_or_malformed_documents(tmp_path):
    broken = write(tmp_path, CLEAN.replace("</general>", "", 1))
    result = algpolicy("check", broken)
    assert result.returncode != 0 and result.stdout.startswith(broken + ":")
    hostile = write(tmp_path, '<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]>'
                    "<algpolicy>&e;</algpolicy>", "hostile.xml")
    result = algpolicy("check", hostile)
    assert result.returncode != 0 and "root:" not in result.stdout
    other_root = write(tmp_path, "<policy/>", "other.xml")
    assert "no single algpolicy" in algpolicy("check", other_root).stdout
    assert algpolicy("check", str(tmp_path / "absent.xml")).returncode != 0
    assert algpolicy("check").returncode == 2
    assert algpolicy("lint", broken).returncode == 2


def test_format_writes_canonical_text(tmp_path):
    result = algpolicy("format", write(tmp_path, CLEAN))
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.startswith('<?xml version="1.0" encoding="UTF-8" standalone="no" ?>\n')
    assert '<logger loglevel="event" name="Console">' in out
    assert '\n<filterby name="Host" masktype="wild">*.example.com</filterby>\n' in out
    assert '<option masktype="wild" from="*.exe" to="" name="RETR"/>' in out
    # The canonical text is a fixed point and still passes the check.
    again = algpolicy("format", write(tmp_path, out, "formatted.xml"))
    assert again.stdout == out
    assert algpolicy("check", str(tmp_path / "formatted.xml")).returncode == 0

    bad = algpolicy("format", write(tmp_path, "<algpolicy><proxy></algpolicy>", "bad.xml"))
    assert bad.returncode != 0 and bad.stdout == "" and "Error:" in bad.stderr
