# The detection rule for brolendavir.exe: Intune's custom detection script, Configuration
# Manager's script detection method. Run it in the signed-in user's context, as the program runs.
# It reads, changes nothing and always exits 0. It prints one line, which both tools read as
# "detected", only when Excel will not load QuantorelixExcelLink.xla again for this user; whatever
# it cannot read leaves it silent ("not detected"), so the tool runs the program again later.
$ErrorActionPreference = 'Stop'
Set-StrictMode -Version 2.0
try {
    # Excel opens at start each add-in named by a value OPEN, OPEN1, OPEN2, ... of an Office
    # version's Excel\Options key (value names are case-insensitive, as the registry's are). A
    # value names the add-in as the program matches: "quantorelixexcel" anywhere in it, in any
    # letter case, folded ordinally, so the user's locale plays no part.
    $key = 'quantorelixexcel'
    $anyCase = [StringComparison]::OrdinalIgnoreCase
    $entries = 0
    # OpenSubKey returns null for a key that is not there, and throws for one that may not be read.
    $office = [Microsoft.Win32.Registry]::CurrentUser.OpenSubKey('Software\Microsoft\Office')
    if ($null -ne $office) {
        foreach ($version in $office.GetSubKeyNames()) {
            $options = $office.OpenSubKey($version + '\Excel\Options')
            if ($null -eq $options) { continue }
            foreach ($name in $options.GetValueNames()) {
                # (No letter of OPEN changes its case with the locale.)
                if ($name -notmatch '\AOPEN[0-9]*\z') { continue }
                # A REG_SZ or REG_EXPAND_SZ (expanded) is one text, a REG_MULTI_SZ several;
                # numbers and binary data are no text and are passed over.
                foreach ($text in @($options.GetValue($name))) {
                    if ($text -is [string] -and $text.IndexOf($key, $anyCase) -ge 0) { $entries++ }
                }
            }
        }
    }

    # The copy in the user's startup folder, which Excel opens at every start. Only "no such file"
    # and "no such folder" count as gone: Test-Path and File.Exists also say "no" for a folder
    # that may not be read or whose server is out of reach.
    $startupCopies = 1
    if ($env:APPDATA -and [System.IO.Path]::IsPathRooted($env:APPDATA)) {
        $startupCopy = $env:APPDATA + '\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla'
        try {
            [void][System.IO.File]::GetAttributes($startupCopy)
        } catch [System.IO.FileNotFoundException], [System.IO.DirectoryNotFoundException] {
            $startupCopies = 0
        }
    }

    if ($entries -eq 0 -and $startupCopies -eq 0) {
        Write-Output 'QuantorelixExcelLink.xla removed'
    }
} catch {
    # Anything not read or not run: not detected, with nothing written to either stream.
}
exit 0
