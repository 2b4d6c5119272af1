# Each shipped script, as built (the rule inlined, in the folder DEPLOY_SCRIPTS names), held to
# what Windows PowerShell 5.1 runs, read by PowerShell's own parser: one file that stands alone, no
# syntax added since, no command outside those 5.1 has that it uses, .NET reached only from the
# fact functions, ASCII only (5.1 reads a file without a byte order mark in the ANSI code page).
BeforeDiscovery {
    $scripts = 'detect-removal.ps1', 'report-removal.ps1'
}
BeforeAll {
    if (-not $env:DEPLOY_SCRIPTS) { throw 'DEPLOY_SCRIPTS names no folder of built scripts (ctest sets it)' }
}
Describe '<_> under Windows PowerShell 5.1' -ForEach $scripts {
  BeforeAll {
    $script:path = Join-Path $env:DEPLOY_SCRIPTS $_
    $tokens = $null
    $errors = $null
    $script:ast = [Management.Automation.Language.Parser]::ParseFile($script:path, [ref]$tokens, [ref]$errors)
    $script:tokens = $tokens
    $script:errors = $errors
    $script:functions = @($script:ast.EndBlock.Statements |
            Where-Object { $_ -is [Management.Automation.Language.FunctionDefinitionAst] })
    # Every function but the decision asks Windows one thing.
    $script:facts = @($script:functions | Where-Object Name -NE 'Get-RemovalVerdict')
    function Get-Place($ast) { "line $($ast.Extent.StartLineNumber): $($ast.Extent.Text)" }
    function Find-Ast([scriptblock]$predicate) { @($script:ast.FindAll($predicate, $true)) }
  }

    It 'parses without an error' {
        $script:errors | ForEach-Object { "line $($_.Extent.StartLineNumber): $($_.Message)" } | Should -BeNullOrEmpty
    }

    It 'holds only ASCII bytes' {
        $bytes = [IO.File]::ReadAllBytes($script:path)
        $outside = for ($i = 0; $i -lt $bytes.Length; $i++) { if ($bytes[$i] -gt 0x7E) { "byte $i = $($bytes[$i])" } }
        $outside | Should -BeNullOrEmpty
    }

    It 'uses no syntax that came after 5.1' {
        # PowerShell 7's operators, each a token of its own kind: ?: && || ?? ??= ?. ?[
        $later = 'QuestionMark', 'AndAnd', 'OrOr', 'QuestionQuestion', 'QuestionQuestionEquals',
            'QuestionDot', 'QuestionLBracket'
        $found = @($script:tokens | Where-Object { $later -contains $_.Kind } |
                ForEach-Object { "line $($_.Extent.StartLineNumber): $($_.Text)" })
        # 7.3's clean block, 6.0's `u{...} and `e in expandable strings.
        $found += Find-Ast { param($a) $a -is [Management.Automation.Language.ScriptBlockAst] -and $null -ne $a.CleanBlock } |
            ForEach-Object { Get-Place $_ }
        $found += $script:tokens | Where-Object { $_ -is [Management.Automation.Language.StringExpandableToken] -and $_.Text -match '`(u\{|e)' } |
            ForEach-Object { "line $($_.Extent.StartLineNumber): $($_.Text)" }
        $found | Should -BeNullOrEmpty
    }

    It 'runs only commands that 5.1 has, and its own functions' {
        $allowed = @('Get-CimInstance', 'Invoke-CimMethod', 'Write-Output', 'Start-Sleep', 'Set-StrictMode') +
            @(Find-Ast { param($a) $a -is [Management.Automation.Language.FunctionDefinitionAst] } | ForEach-Object Name)
        Find-Ast { param($a) $a -is [Management.Automation.Language.CommandAst] } |
            Where-Object { $allowed -notcontains $_.GetCommandName() } |
            ForEach-Object { Get-Place $_ } | Should -BeNullOrEmpty
    }

    It 'reaches .NET only from the fact functions' {
        $inFacts = { param($a) foreach ($fact in $script:facts) { if ($fact.Extent.StartOffset -le $a.Extent.StartOffset -and $a.Extent.EndOffset -le $fact.Extent.EndOffset) { return $true } }; $false }
        Find-Ast { param($a)
            ($a -is [Management.Automation.Language.MemberExpressionAst] -and $a.Static) -or
            ($a -is [Management.Automation.Language.CommandAst] -and $a.GetCommandName() -eq 'New-Object') } |
            Where-Object { -not (& $inFacts $_) } | ForEach-Object { Get-Place $_ } | Should -BeNullOrEmpty
    }

    It 'names the Microsoft page of each fact above it' {
        $lines = [IO.File]::ReadAllLines($script:path)
        $script:facts.Count | Should -BeGreaterThan 5
        foreach ($fact in $script:facts) {
            $i = $fact.Extent.StartLineNumber - 2
            $comment = @(while ($i -ge 0 -and $lines[$i].StartsWith('#')) { $lines[$i].TrimStart('#').Trim(); $i-- })
            [array]::Reverse($comment)
            ($comment -join ' ') | Should -Match '"[^"]+",? https://(learn|support)\.microsoft\.com/' -Because $fact.Name
        }
    }
}
